#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "engine/base/clock.h"
#include "engine/net/peer_requests.h"
#include "engine/net/socket.h"

namespace {

// Deliver the oldest block and queue a new one, as a steady download does.
void BM_RequestListTakeAndRefill(benchmark::State& state) {
    const int64_t depth = state.range(0);
    zl::RequestList list;
    int64_t next = 0;
    for (; next < depth; ++next) list.Add({next, 16384, 0, static_cast<int32_t>(next / 64), true});
    int64_t oldest = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.Take(oldest++, 16384, true));
        list.Add({next, 16384, 0, static_cast<int32_t>(next / 64), true});
        ++next;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RequestListTakeAndRefill)->Arg(16)->Arg(256)->Arg(4096);

// Bytes through a loopback connection: non-blocking sends of 64 KiB, reads of 43008.
void BM_SocketLoopbackThroughput(benchmark::State& state) {
    zl::SocketEnv env;
    env.clock = &zl::SystemClock();
    zl::TSocket listener(env);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    for (int port = 41000; port < 41100 && !listener.listening(); ++port) listener.Listen(port, loopback);
    zl::TSocket client(env);
    client.Connect(loopback, listener.local_port(), true);
    std::unique_ptr<zl::TSocket> server;
    while (!server) {
        listener.WaitReadable(1);
        server = listener.Accept();
    }
    std::vector<uint8_t> chunk(65536, 0x5A);
    int64_t moved = 0;
    for (auto _ : state) {
        client.Send(chunk.data(), static_cast<int64_t>(chunk.size()));
        int64_t got = 0;
        while (got < static_cast<int64_t>(chunk.size())) {
            client.Flush();
            if (!server->WaitReadable(1)) break;
            const int64_t n = server->Receive(0, 1 << 20);
            if (n < 0) break;
            got += n;
            server->Consume(-1);
        }
        moved += got;
    }
    state.SetBytesProcessed(moved);
}
BENCHMARK(BM_SocketLoopbackThroughput);

}  // namespace

BENCHMARK_MAIN();
