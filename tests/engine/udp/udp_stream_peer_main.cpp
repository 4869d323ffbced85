// udp_stream_peer: one engine's UDP server with the UDP stream transport on
// it, for tests that put engines in network namespaces behind NATs. It
// registers with the rendezvous server, then either accepts one stream and
// reads it to the end, or connects to a target (by node id or by the
// placeholder of its address) and sends random bytes through it. Prints what
// it saw as "key value" lines; exit 0 on success, 3 when the stream could not
// be set up, 2 for bad arguments.
//
//   udp_stream_peer --bind ADDR --port N --rendezvous ADDR:PORT --id HEX16
//                   [--connect-timeout S] [--timeout S]
//                   (--listen | --connect ADDR:PORT --target HEX16|placeholder --bytes N)
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "engine/udp/udp_stream_service.h"
#include "tests/engine/udp/transfer_support.h"

namespace {

using namespace zl;
using Steady = std::chrono::steady_clock;

bool ParseHexId(const std::string& text, NodeId* id) {
    if (text.size() != 16) return false;
    for (size_t i = 0; i < 8; ++i) {
        char* end = nullptr;
        const std::string byte = text.substr(i * 2, 2);
        (*id)[i] = uint8_t(std::strtoul(byte.c_str(), &end, 16));
        if (*end != '\0') return false;
    }
    return true;
}

std::string Hex(const std::array<uint8_t, 32>& d) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

int Usage() {
    std::fprintf(stderr, "usage: udp_stream_peer --bind ADDR --port N --rendezvous ADDR:PORT --id HEX16 "
                         "[--connect-timeout S] [--timeout S] (--listen | --connect ADDR:PORT --target HEX16|placeholder --bytes N)\n");
    return 2;
}

double Since(Steady::time_point t) { return std::chrono::duration<double>(Steady::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
    std::string bind, rendezvous, connect, target;
    long port = 0, bytes = 0, connect_timeout = 30, timeout = 60;
    bool listen = false;
    NodeId id{};
    bool have_id = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--bind") bind = value();
        else if (a == "--port") port = std::atol(value().c_str());
        else if (a == "--rendezvous") rendezvous = value();
        else if (a == "--id") have_id = ParseHexId(value(), &id);
        else if (a == "--listen") listen = true;
        else if (a == "--connect") connect = value();
        else if (a == "--target") target = value();
        else if (a == "--bytes") bytes = std::atol(value().c_str());
        else if (a == "--connect-timeout") connect_timeout = std::atol(value().c_str());
        else if (a == "--timeout") timeout = std::atol(value().c_str());
        else return Usage();
    }
    const size_t colon = rendezvous.rfind(':');
    if (bind.empty() || port <= 0 || port > 65535 || colon == std::string::npos || !have_id) return Usage();
    if (!listen && (connect.empty() || target.empty() || bytes <= 0)) return Usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    UdpServer server;
    server.SetBindAddress(inet_addr(bind.c_str()));
    UdpStreamService service(server, UdpStreamConfig{});
    UdpStreamTransport& t = service.transport();
    UdpServerConfig config;
    config.SetRendezvousHost(rendezvous.substr(0, colon));
    config.rendezvous_port = std::atoi(rendezvous.c_str() + colon + 1);
    config.keep_alive_interval = 10;
    config.connect_timeout = int32_t(connect_timeout);
    config.local_port = int32_t(port);
    config.local_address = inet_addr(bind.c_str());
    config.node_id = id;
    if (server.StartServer(config) != 0) return Usage();

    const auto start = Steady::now();
    while (!t.ServerAnswered() && Since(start) < 10) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    in_addr external{};
    external.s_addr = t.ExternalAddress();
    std::printf("registered %s\nexternal %s:%u\nbehind-nat %s\n", t.ServerAnswered() ? "yes" : "no",
                inet_ntoa(external), t.ExternalPort(), t.BehindNat() ? "yes" : "no");

    int status = 0;
    int32_t e = 0;
    if (listen) {
        const int listener = test::ListenOn(t, uint16_t(port));
        int h = -1;
        while (h < 0 && Since(start) < double(timeout)) {
            UdpHandleSet r;
            r.Add(listener);
            t.Select(&r, nullptr, nullptr, 100);
            h = t.Accept(listener, nullptr, &e);
        }
        if (h < 0) {
            std::printf("accepted none\naccept-queue %zu\npunch-list %zu\n", t.AcceptQueueSize(), t.PunchListSize());
            status = 3;
        } else {
            std::vector<uint8_t> got, buffer(65536);
            for (;;) {
                const int64_t n = t.Receive(h, buffer.data(), int64_t(buffer.size()), &e);
                if (n > 0) {
                    got.insert(got.end(), buffer.begin(), buffer.begin() + n);
                    continue;
                }
                if (e != err::kWouldBlock || Since(start) > double(timeout)) break;
                UdpHandleSet r;
                r.Add(h);
                t.Select(&r, nullptr, nullptr, 100);
            }
            std::printf("received %zu\nsha256 %s\n", got.size(), Hex(test::Sha256(got)).c_str());
            t.Close(h, &e);
        }
        t.Close(listener, &e);
    } else {
        const size_t c = connect.rfind(':');
        StreamEndpoint remote{inet_addr(connect.substr(0, c).c_str()), uint16_t(std::atoi(connect.c_str() + c + 1)), {}};
        if (target == "placeholder") remote.tag = PlaceholderId(remote.address, remote.port);
        else if (!ParseHexId(target, &remote.tag)) return Usage();
        const int h = t.Open(&e);
        const auto began = Steady::now();
        t.Connect(h, remote, &e);
        UdpStreamSnapshot s = t.Inspect(h);
        while (s.state != UdpStreamState::kEstablished && s.state != UdpStreamState::kClosed && Since(start) < double(timeout)) {
            UdpHandleSet w;
            w.Add(h);
            t.Select(nullptr, &w, nullptr, 100);
            s = t.Inspect(h);
        }
        if (s.state != UdpStreamState::kEstablished) {
            std::printf("connect failed %d after %.1f s\n", s.close_error, Since(began));
            t.Close(h, &e);
            std::printf("left-open %s\n", t.Inspect(h).exists ? "yes" : "no");
            status = 3;
        } else {
            std::printf("connected after %.1f s\nremote-id %s\n", Since(began), FormatNodeId(s.remote_id).c_str());
            const std::vector<uint8_t> data = test::RandomBytes(size_t(bytes), 1);
            size_t sent = 0;
            while (sent < data.size() && Since(start) < double(timeout)) {
                const int64_t n = t.Send(h, data.data() + sent, int64_t(data.size() - sent), &e);
                if (n > 0) {
                    sent += size_t(n);
                    continue;
                }
                UdpHandleSet w;
                w.Add(h);
                t.Select(nullptr, &w, nullptr, 100);
            }
            // Closing drops what the other end has not acknowledged: wait for it.
            while (t.Inspect(h).bytes_acknowledged < sent && Since(start) < double(timeout))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::printf("sent %zu\nsha256 %s\n", sent, Hex(test::Sha256(data)).c_str());
            t.Close(h, &e);
        }
    }
    server.StopServer();
    return status;
}
