// The identity of one source: a BitTorrent node, an HTTP or FTP server, or a
// tracker. Shared by reference count between the task's candidate list and the
// peers connected to it.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/ref_object.h"
#include "engine/net/address.h"

namespace zl {

enum PeerKind : int32_t {
    kKindNode = 1,     // BitTorrent node
    kKindHttp = 2,
    kKindFtp = 4,
    kKindTracker = 8,
    kKindServers = kKindHttp | kKindFtp,
};

// Position keys in a task's candidate list (higher first).
inline constexpr int32_t kOrderKeyNodeMin = 19;   // every BitTorrent node is at least here
inline constexpr int32_t kOrderKeyRedirect = 28;  // a source created by an HTTP redirect
inline constexpr int32_t kOrderKeyServer = 29;    // a configured server
inline constexpr int32_t kOrderKeyLan = 35;       // a node found on the local network

using PeerIdBytes = std::array<uint8_t, 20>;

// A parsed source text, owned by its identity.
struct TSourceAddress {
    std::string host;
    std::string user;
    std::string password;
    std::string path;       // FTP and tracker request path, starts with "/"
    std::string http_path;  // HTTP request path, starts with "/"
    std::string query;      // tracker query after "?"
    std::string scheme;     // tracker scheme before "://"
    std::string file_name;  // last path component of an HTTP or FTP URL
    std::vector<uint32_t> addresses;  // resolved, network order

    // Used by the server peers.
    bool whole_content = false;  // the body stays in memory instead of becoming pieces
    bool redirected = false;
    bool content_complete = false;
    int32_t redirect_count = 0;
    int32_t redirect_hops = 0;  // redirects that led to this source
    // Answers from byte 0 to ranged requests in a row, over all connections:
    // a server that ignores Range is given up on instead of being asked again
    // from a fresh connection every time.
    int32_t ignored_ranges = 0;
    int64_t content_length = -1;
    std::string referer;
    std::string content;
    std::string last_location;
};

class TPeerId : public TRefObject {
public:
    TPeerId() = default;
    explicit TPeerId(std::string source_text) : text(std::move(source_text)) {}

    // The parsed record, created on first use and owned by this identity
    // (a copy gets its own record).
    TSourceAddress& Source();
    const TSourceAddress* SourceIfAny() const { return source_.get(); }

    // A copy for a new candidate: text, kind, address, port, peer id, flags and
    // the parsed record; counters start afresh.
    static TPeerId* CopyOf(const TPeerId& other);

    // Port in 1..65535 and a valid address.
    bool IsUsable() const { return IsValidPort(port) && IsValidAddress(address); }
    bool IsServer() const { return (kind & kKindServers) != 0; }
    bool IsNode() const { return kind == kKindNode; }

    // 14 zero bytes, the address bytes, the port bytes (network order).
    static PeerIdBytes NodePeerId(uint32_t address, uint16_t port);
    // Bytes 16..18 are "UDP": another client of this program.
    static bool IsOwnClientPeerId(const PeerIdBytes& id);
    // When such an identity enters the candidate list its first bytes become
    // 0x00 0x01 'Z' 'l' (the program's client prefix).
    static void SetOwnClientPrefix(PeerIdBytes* id);

    bool parsed = false;
    bool resolve_failed = false;
    int32_t port = 0;
    int32_t retry_delay = 0;
    int32_t order_key = 0;
    int32_t attempts = 0;
    int32_t open_connections = 0;
    int32_t reconnects = 0;
    PeerIdBytes peer_id{};
    std::string text;
    uint32_t address = kNoAddress;
    int32_t kind = 0;
    bool tracker_over_tcp = false;

    // Candidate bookkeeping of the task.
    int32_t connection_count = 0;
    int32_t finished_pieces = 0;
    int32_t max_connections = 1;
    uint64_t last_connect_time = 0;
    int32_t failed_pieces = 0;
    // Ranges claimed by any connection to this source: a source that comes
    // back on a new connection is not a newcomer that may take half of a
    // faster source's range before it has shown a rate.
    int32_t ranges_claimed = 0;
    // The latest download rate measured on a connection to this source, so a
    // new connection is judged by what the source has shown.
    int64_t last_download_rate = 0;
    bool metainfo_source = false;
    bool exhausted = false;
    // A BitTorrent node that closed a connection opened with the HTTP-looking
    // preamble before sending its handshake: later connections go without it.
    bool refuses_preamble = false;

protected:
    ~TPeerId() override = default;

private:
    std::unique_ptr<TSourceAddress> source_;
};

}  // namespace zl
