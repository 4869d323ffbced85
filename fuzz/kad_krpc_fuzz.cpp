// KRPC datagrams into a running DHT node (parse, queue, answer), and the same
// bytes as answers (or error replies) to a find and a BitTorrent lookup with
// queries pending.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/base/fake_clock.h"
#include "engine/meta/bencode.h"
#include "engine/udp/kad_lookup.h"
#include "engine/udp/kad_messages.h"
#include "engine/udp/kademlia.h"

namespace {

using namespace zl;

class CountingSender final : public IUdpSender {
public:
    bool Send(const uint8_t* data, size_t length, uint32_t, uint16_t) override {
        if (!data || length == 0 || length > kMaxUdpDatagram) std::abort();
        if (data[0] != 'd' || data[length - 1] != 'e') std::abort();
        return true;
    }
};

class Host final : public KadLookupHost {
public:
    uint64_t NowSeconds() override { return 1000; }
    KadId OwnId() override { return KadId(9, 9, 9, 9, 9); }
    uint64_t QueueQuery(const KadNode& node, std::string_view method, std::string_view arguments, uint64_t transaction,
                        KadOutbox& outbox) override {
        auto q = BuildQuery(OwnId(), method, arguments, transaction ? transaction : ++counter);
        if (!q) return 0;
        outbox.push_back(KadDatagram{*q, node.address, node.port});
        return transaction ? transaction : counter;
    }
    void SeedNodes(const KadId&, std::vector<KadNode>& out) override {
        out.push_back(KadNode(KadId(1, 0, 0, 0, 1), 0x0100007F, 1));
        out.push_back(KadNode(KadId(2, 0, 0, 0, 2), 0x0200007F, 2));
    }
    void LearnNode(const KadNode&) override {}
    void InsertNode(const KadNode&) override {}
    std::string StoredPeers(const KadId&) override { return {}; }
    void RememberToken(const KadNode&, std::string_view token) override {
        if (token.empty() || token.size() > kKadMaxReceivedTokenSize) std::abort();
    }
    std::string ReceivedToken(const KadNode&) override { return std::string(20, 't'); }
    uint64_t counter = 0;
};

struct Node {
    Node() {
        node.SetSender(&sender);
        node.SetRouters({});
        node.Begin();
    }
    FakeClock clock;
    CountingSender sender;
    CKademlia node{clock};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Node* node = new Node();
    if (size > kMaxUdpDatagram) return 0;
    node->node.OnDhtDatagram(data, size, 0x0300007F, 6881);
    node->node.Pass();

    auto root = ParseElement(data, int64_t(size));
    const QDictionaryElement* dict = root ? root->AsDictionary() : nullptr;
    if (!dict) return 0;
    Host host;
    KadOutbox outbox;
    std::vector<KadNode> failed;
    CKadActionFind find(KadId(1, 2, 3, 4, 5));
    find.Start(host);
    find.Step(host, outbox);
    CKadActionBitTorrent bt(KadId(1, 2, 3, 4, 5));
    bt.Start(host);
    bt.Step(host, outbox);
    for (uint64_t t = 1; t <= host.counter; ++t) {
        const KadNode asked = t % 2 ? KadNode(KadId(1, 0, 0, 0, 1), 0x0100007F, 1) : KadNode(KadId(2, 0, 0, 0, 2), 0x0200007F, 2);
        if (ReadKadError(*dict)) {
            find.OnError(t, asked.address);
            bt.OnError(t, asked.address);
        } else {
            find.OnResponse(host, t, asked, *dict);
            bt.OnResponse(host, t, asked, *dict);
        }
    }
    find.CheckTimeouts(host, failed, outbox);
    bt.CheckTimeouts(host, failed, outbox);
    std::string peers;
    bt.TakeResults(peers, true);
    if (peers.size() % 6 != 0 || peers.size() > CKadActionBitTorrent::kMaxResultBytes) std::abort();
    if (find.CandidateCount() > CKadActionBase::kMaxCandidates) std::abort();
    return 0;
}
