// The KRPC messages this DHT sends, built byte for byte in a fixed layout
// (keys in the order written here, never sorted), and the argument and body
// texts of the four queries and their answers. Transaction ids are 8 bytes:
// the little-endian bytes of a 64-bit counter.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/udp/kad_id.h"
#include "engine/udp/kad_node.h"

namespace zl {

class QDictionaryElement;

inline constexpr size_t kKadTransactionSize = 8;
// A message whose argument (or body) bytes plus method name reach this is not built.
inline constexpr size_t kKadMessageLimit = 1201;
// Our write tokens are 20 bytes; other implementations choose their own
// length (libtorrent's are 4), so a received token of up to 64 bytes is kept
// and given back as it came.
inline constexpr size_t kKadTokenSize = 20;
inline constexpr size_t kKadMaxReceivedTokenSize = 64;

inline constexpr std::string_view kKadPing = "ping";
inline constexpr std::string_view kKadFindNode = "find_node";
inline constexpr std::string_view kKadGetPeers = "get_peers";
inline constexpr std::string_view kKadAnnouncePeer = "announce_peer";

// The 8 wire bytes of a transaction id, and back (nullopt unless exactly 8 bytes).
std::string TransactionBytes(uint64_t transaction);
std::optional<uint64_t> TransactionFromBytes(std::string_view bytes);

// "d1:ad2:id20:<own id><arguments>e1:q<len>:<method>1:t8:<transaction>1:y1:qe",
// or nullopt when arguments plus method name reach the limit.
std::optional<std::string> BuildQuery(const KadId& own, std::string_view method, std::string_view arguments,
                                      uint64_t transaction);
// "d1:rd2:id20:<own id><body>e1:t8:<transaction>1:y1:re", or nullopt when the
// body reaches the limit. The transaction is the query's own 8 bytes.
std::optional<std::string> BuildResponse(const KadId& own, std::string_view body, std::string_view transaction);
// The fixed answer to an announce with a bad token.
std::string BuildInvalidTokenError(std::string_view transaction);

// An error reply's "e": [code, "text"] (201 generic, 202 server, 203
// protocol, 204 method unknown).
struct KadError {
    int64_t code = 0;
    std::string text;
};
// The error a message of kind "e" carries, or nullopt when its "e" is no
// list starting with an integer (the text may be missing).
std::optional<KadError> ReadKadError(const QDictionaryElement& message);

// Query arguments.
std::string FindNodeArguments(const KadId& target);
std::string GetPeersArguments(const KadId& info_hash);
// The token is empty (written "0:") when none is known for the node; any
// other token is written with its length.
std::string AnnouncePeerArguments(const KadId& info_hash, uint16_t port, std::string_view token);

// Response bodies. `nodes` holds at most 8 nodes (more are not written).
std::string NodesBody(const std::vector<KadNode>& nodes, std::string_view token);
// `values_text` is "6:valuesl...e" from the peer store.
std::string ValuesBody(std::string_view values_text, std::string_view token);

}  // namespace zl
