// DHT kernels: how many KRPC queries one node parses, answers and files per
// second (the UDP server thread's share and the DHT thread's), and the
// routing table's insert and closest-node search on a full table.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/base/fake_clock.h"
#include "engine/udp/kad_messages.h"
#include "engine/udp/kademlia.h"

namespace {

using namespace zl;

class NullSender final : public IUdpSender {
public:
    bool Send(const uint8_t*, size_t, uint32_t, uint16_t) override { return true; }
};

std::string Query(const KadId& from, std::string_view method, const std::string& arguments, uint64_t t) {
    return *BuildQuery(from, method, arguments, t);
}

// A batch of 2048 mixed queries (the inbox's size) from as many node ids.
void BM_NodeAnswersQueries(benchmark::State& state) {
    FakeClock clock;
    NullSender sender;
    CKademlia node(clock, &sender);
    node.SetRouters({});
    node.Begin();
    std::vector<std::string> batch;
    for (uint64_t i = 0; i < CKademlia::kInboxFull; ++i) {
        const KadId from = KadId::Fresh(i);
        switch (i % 3) {
            case 0: batch.push_back(Query(from, kKadPing, "", i)); break;
            case 1: batch.push_back(Query(from, kKadFindNode, FindNodeArguments(KadId::Fresh(i)), i)); break;
            default: batch.push_back(Query(from, kKadGetPeers, GetPeersArguments(KadId::Fresh(i)), i)); break;
        }
    }
    uint32_t source = 0;
    for (auto _ : state) {
        for (const std::string& q : batch) {
            ++source;
            node.OnDhtDatagram(reinterpret_cast<const uint8_t*>(q.data()), q.size(), 0x0100007F + (source << 24),
                               uint16_t(1000 + source % 60000));
        }
        node.Pass();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(batch.size()));
    node.End();
}
BENCHMARK(BM_NodeAnswersQueries)->Unit(benchmark::kMillisecond);

// Ids from a fixed xorshift sequence: no system call in the loop.
KadId NextId(uint64_t& s) {
    auto next = [&] {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return uint32_t(s);
    };
    return KadId(next(), next(), next(), next(), next());
}

void BM_TableInsertAndClosest(benchmark::State& state) {
    uint64_t seed = 88172645463325252ull;
    KadRoutingTable table(NextId(seed), 1000);
    for (uint32_t i = 0; i < 5000; ++i)
        table.Insert(KadNode(NextId(seed), 0x0100007F + (i << 8), uint16_t(1 + i % 60000)), true, false, 1000);
    uint32_t i = 0;
    std::vector<KadNode> out;
    for (auto _ : state) {
        ++i;
        table.Insert(KadNode(NextId(seed), 0x0200007F + (i << 8), uint16_t(1 + i % 60000)), false, false, 1000);
        out.clear();
        table.Closest(NextId(seed), false, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["nodes"] = double(table.Count());
    state.counters["buckets"] = double(table.Ranges().size());
}
BENCHMARK(BM_TableInsertAndClosest);

}  // namespace

BENCHMARK_MAIN();
