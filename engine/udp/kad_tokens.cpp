#include "engine/udp/kad_tokens.h"

#include <algorithm>
#include <cstring>

namespace zl {

KadTokenSecrets::KadTokenSecrets() {
    SHA1Reset(&current_);
    SHA1Reset(&previous_);
}

std::string KadTokenSecrets::MakeWith(const SHA1Context& state, uint32_t address, uint16_t port) {
    SHA1Context copy = state;
    uint8_t tail[8];
    std::memcpy(tail, &address, 4);
    tail[4] = uint8_t(port & 0xFF);
    tail[5] = uint8_t(port >> 8);
    tail[6] = '1';
    tail[7] = '1';
    SHA1Input(&copy, tail, sizeof tail);
    uint8_t digest[kSha1DigestSize];
    SHA1Result(&copy, digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string KadTokenSecrets::Make(uint32_t address, uint16_t port) const { return MakeWith(current_, address, port); }

bool KadTokenSecrets::Check(std::string_view token, uint32_t address, uint16_t port) const {
    if (token.size() != kSha1DigestSize) return false;
    return token == MakeWith(current_, address, port) || token == MakeWith(previous_, address, port);
}

bool KadTokenSecrets::Rotate(uint64_t now, bool force, const KadId& fresh_secret) {
    if (!force && checked_ && now - last_check_ < kRotationCheckSeconds) return false;
    checked_ = true;
    last_check_ = now;
    if (force || now - secret_time_ > kSecretLifeSeconds) {
        previous_ = current_;
        uint8_t secret[kKadIdSize];
        fresh_secret.ToBytes(secret);
        SHA1Reset(&current_);
        SHA1Input(&current_, secret, sizeof secret);
        secret_time_ = now;
    }
    return true;
}

void KadReceivedTokens::Remember(const KadNode& node, std::string_view token, uint64_t now) {
    if (token.empty() || token.size() > kMaxTokenSize) return;
    const Key key{node.id, node.address};
    if (std::all_of(token.begin(), token.end(), [](char c) { return c == 0; })) {
        tokens_.erase(key);
        return;
    }
    auto it = tokens_.find(key);
    if (it == tokens_.end() && tokens_.size() >= kMaxTokens) {
        Expire(now);
        if (tokens_.size() >= kMaxTokens) {
            // Make room by forgetting the oldest token.
            auto oldest = std::min_element(tokens_.begin(), tokens_.end(),
                                           [](const auto& a, const auto& b) { return a.second.time < b.second.time; });
            tokens_.erase(oldest);
        }
    }
    tokens_[key] = Entry{std::string(token), now};
}

std::string KadReceivedTokens::Get(const KadNode& node, uint64_t now) const {
    auto it = tokens_.find(Key{node.id, node.address});
    if (it == tokens_.end() || now - it->second.time > kLifeSeconds) return {};
    return it->second.token;
}

void KadReceivedTokens::Expire(uint64_t now) {
    for (auto it = tokens_.begin(); it != tokens_.end();) {
        if (now - it->second.time > kLifeSeconds)
            it = tokens_.erase(it);
        else
            ++it;
    }
}

}  // namespace zl
