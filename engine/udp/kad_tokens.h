// Write tokens. A token is the SHA-1 of a secret followed by the requester's
// address (4 bytes, network order), port (2 bytes, least significant first)
// and "11". Two secrets are kept, the current and the previous, so a token
// stays valid across one rotation and is refused after two. Also the tokens
// other nodes gave us, kept for announcing to them.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "engine/meta/sha1.h"
#include "engine/udp/kad_id.h"
#include "engine/udp/kad_node.h"

namespace zl {

class KadTokenSecrets {
public:
    static constexpr uint64_t kRotationCheckSeconds = 180;
    static constexpr uint64_t kSecretLifeSeconds = 300;

    KadTokenSecrets();

    std::string Make(uint32_t address, uint16_t port) const;
    bool Check(std::string_view token, uint32_t address, uint16_t port) const;

    // At most once every 180 s unless forced: when forced or when the current
    // secret is over 300 s old, the current secret becomes the previous one
    // and `fresh_secret` (20 bytes) the current. True when the check ran.
    bool Rotate(uint64_t now, bool force, const KadId& fresh_secret);

private:
    static std::string MakeWith(const SHA1Context& state, uint32_t address, uint16_t port);

    SHA1Context current_;
    SHA1Context previous_;
    uint64_t secret_time_ = 0;
    uint64_t last_check_ = 0;
    bool checked_ = false;
};

// Tokens received from other nodes, keyed by node id and address.
class KadReceivedTokens {
public:
    static constexpr uint64_t kLifeSeconds = 300;
    // Enough for every node of a full table and of the running lookups.
    static constexpr size_t kMaxTokens = 4096;

    static constexpr size_t kMaxTokenSize = 64;
    // A token of zero bytes only removes the entry; an empty or longer one is ignored.
    void Remember(const KadNode& node, std::string_view token, uint64_t now);
    // The token while at most 300 s old, else empty.
    std::string Get(const KadNode& node, uint64_t now) const;
    void Expire(uint64_t now);
    void Clear() { tokens_.clear(); }
    size_t Size() const { return tokens_.size(); }

private:
    using Key = std::pair<KadId, uint32_t>;
    struct Entry {
        std::string token;
        uint64_t time;
    };
    std::map<Key, Entry> tokens_;
};

}  // namespace zl
