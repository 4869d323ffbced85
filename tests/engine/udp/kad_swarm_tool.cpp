// A swarm of DHT nodes on real loopback sockets for the end-to-end tests:
//   kad_swarm_tool FIRST_ADDRESS COUNT [EXTRA_ADDRESS...]
// starts COUNT nodes on consecutive 127.0.7.x addresses from FIRST_ADDRESS
// (any free UDP port each, all joining through the first) and one node on
// each EXTRA_ADDRESS, prints "READY ADDRESS:PORT" (the first node), then
// reads commands from stdin until it closes or "quit":
//   announce HASHHEX PORT ADDRESS   the node on ADDRESS announces PORT for the
//                                   info hash; prints "ANNOUNCED n" (nodes that stored it)
//   stats                           prints "STATS nodes answered stored router_answered":
//                                   the sums over the swarm, then the nodes that
//                                   have answered the first node (the only ones it names)
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/meta/sha1.h"
#include "tests/engine/udp/kad_udp_endpoint.h"

namespace {

using namespace zl;

struct Member {
    std::string address;
    std::unique_ptr<CKademlia> node;
    std::unique_ptr<test::KadServerEndpoint> endpoint;
};

std::string Dotted(uint32_t host_order) {
    in_addr a{htonl(host_order)};
    return inet_ntoa(a);
}

KadId FromHex(const std::string& hex) {
    if (hex.size() != 40) return {};
    std::string bytes;
    for (size_t i = 0; i < 40; i += 2) bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return KadId::FromBytes(bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kad_swarm_tool FIRST_ADDRESS COUNT [EXTRA_ADDRESS...]\n");
        return 2;
    }
    std::vector<std::string> addresses;
    const uint32_t first = ntohl(inet_addr(argv[1]));
    for (int i = 0; i < std::atoi(argv[2]); ++i) addresses.push_back(Dotted(first + uint32_t(i)));
    for (int i = 3; i < argc; ++i) addresses.push_back(argv[i]);

    std::vector<Member> members;
    for (const std::string& address : addresses) {
        Member m;
        m.address = address;
        m.node = std::make_unique<CKademlia>();
        m.endpoint = std::make_unique<test::KadServerEndpoint>(address.c_str(), *m.node);
        members.push_back(std::move(m));
    }
    const std::string router = members[0].address;
    const uint16_t router_port = members[0].endpoint->Port();
    for (Member& m : members) {
        m.node->SetRouters({{router, router_port}});
        m.node->Start("Kademlia");
    }
    std::printf("READY %s:%u\n", router.c_str(), router_port);
    std::fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "quit") break;
        if (command == "stats") {
            size_t nodes = 0, answered = 0, stored = 0;
            for (Member& m : members) {
                const KadStats s = m.node->Stats();
                nodes += s.nodes;
                answered += s.answered_nodes;
                stored += s.stored_peers;
            }
            std::printf("STATS %zu %zu %zu %zu\n", nodes, answered, stored, members[0].node->Stats().answered_nodes);
        } else if (command == "announce") {
            std::string hex, address;
            unsigned port = 0;
            in >> hex >> port >> address;
            Member* from = nullptr;
            for (Member& m : members)
                if (m.address == address) from = &m;
            const KadId hash = FromHex(hex);
            if (!from || hash.IsZero() || port == 0 || port > 65535) {
                std::printf("ERROR bad announce\n");
            } else {
                auto lookup = std::make_shared<CKadActionBitTorrent>(hash);
                lookup->SetAnnouncedPort(uint16_t(port));
                // Until it found someone to tell: a young swarm may not know the
                // nodes near the info hash yet.
                size_t stored = 0;
                for (int attempt = 0; attempt < 10 && stored == 0; ++attempt) {
                    lookup->Reset();
                    from->node->AddLookup(lookup);
                    for (int i = 0; i < 600 && !lookup->IsDone(); ++i)
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    from->node->RemoveLookup(lookup.get());
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    stored = 0;
                    for (Member& m : members) stored += m.node->Stats().stored_peers > 0;
                    if (stored == 0) std::this_thread::sleep_for(std::chrono::seconds(1));
                }
                std::printf("ANNOUNCED %zu\n", stored);
            }
        }
        std::fflush(stdout);
    }
    for (Member& m : members) m.node->Stop();
    return 0;
}
