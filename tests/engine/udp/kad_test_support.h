// Helpers shared by the DHT tests: scripted KRPC texts and a node on the
// in-process network.
#pragma once
#include <arpa/inet.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/base/fake_clock.h"
#include "engine/meta/bencode.h"
#include "engine/udp/kad_messages.h"
#include "engine/udp/kademlia.h"
#include "tests/engine/udp/kad_sim_network.h"

namespace zl::test {

// A query as another implementation might send it, with any transaction bytes.
inline std::string KrpcQuery(const KadId& from, std::string_view method, std::string_view arguments,
                             std::string_view transaction) {
    std::string q = "d1:ad2:id20:" + from.Bytes() + std::string(arguments) + "e1:q" + std::to_string(method.size()) +
                    ":" + std::string(method) + "1:t" + std::to_string(transaction.size()) + ":" +
                    std::string(transaction) + "1:y1:qe";
    return q;
}

inline std::string KrpcResponse(const KadId& from, std::string_view body, std::string_view transaction) {
    return *BuildResponse(from, body, transaction);
}

struct ParsedKrpc {
    std::unique_ptr<QElement> root;
    const QDictionaryElement* dict = nullptr;
    std::string y;
    std::string t;
    std::string method;
    const QDictionaryElement* body = nullptr;  // "a" or "r"
};

inline ParsedKrpc ParseKrpc(std::string_view bytes) {
    ParsedKrpc p;
    p.root = ParseElement(bytes);
    p.dict = p.root ? p.root->AsDictionary() : nullptr;
    if (!p.dict) return p;
    p.y = std::string(p.dict->BytesOf("y").value_or(""));
    p.t = std::string(p.dict->BytesOf("t").value_or(""));
    p.method = std::string(p.dict->BytesOf("q").value_or(""));
    p.body = p.dict->DictionaryOf(p.y == "q" ? "a" : "r");
    return p;
}

// A scripted node that answers every query with its id and, for find_node
// and get_peers, the given body text (default: no nodes, no token).
inline void AnswerQueries(SimClient& client, const KadId& id, std::string body = "5:nodes0:") {
    client.script = [id, body](SimClient& self, const SimClient::Received& r) {
        ParsedKrpc p = ParseKrpc(r.bytes);
        if (p.y != "q") return;
        const std::string reply_body = p.method == "ping" || p.method == "announce_peer" ? "" : body;
        self.SendTo(KrpcResponse(id, reply_body, p.t), r.address, r.port);
    };
}

// One DHT node attached to the simulated network, driven by the test.
struct SimKadNode {
    SimKadNode(KadSimNetwork& net, Clock& clock, const char* address, uint16_t node_port)
        : address(inet_addr(address)), port(node_port), node(std::make_shared<CKademlia>(clock)) {
        node->SetSender(net.Attach(this->address, port, node.get()));
        node->SetRouters({});
    }
    uint32_t address;
    uint16_t port;
    std::shared_ptr<CKademlia> node;
};

}  // namespace zl::test
