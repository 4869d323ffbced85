#include "engine/core/listener/mse_accept.h"

#include <openssl/bn.h>
#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "engine/meta/sha1.h"

namespace zl {
namespace {

// The handshake's 768-bit prime; the generator is 2.
constexpr const char* kPrimeHex =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DDEF9519B3CD"
    "3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A63A36210000000000090563";
constexpr size_t kPrivateKeySize = 20;  // 160 bits
constexpr size_t kNegotiationHead = 8 + 4 + 2;  // VC, crypto_provide, len(PadC)

struct Part {
    const void* data;
    size_t size;
};

std::array<uint8_t, 20> Hash(std::initializer_list<Part> parts) {
    std::vector<uint8_t> bytes;
    for (const Part& p : parts) {
        const auto* b = static_cast<const uint8_t*>(p.data);
        bytes.insert(bytes.end(), b, b + p.size);
    }
    const Sha1Digest d = Sha1Of(bytes.data(), bytes.size());
    std::array<uint8_t, 20> out;
    std::memcpy(out.data(), d.data(), out.size());
    return out;
}

Part Text(std::string_view s) { return Part{s.data(), s.size()}; }

uint32_t Big32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }
uint16_t Big16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void SystemRandom(uint8_t* out, size_t n) {
    size_t filled = 0;
    while (filled < n) {
        const ssize_t got = ::getrandom(out + filled, n - filled, 0);
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
}

// own_public = 2^x mod P and shared = remote^x mod P, both 96 bytes; false
// when the remote's key is not a usable one (0, 1, P-1 or beyond).
bool DiffieHellman(const uint8_t* x, const uint8_t* remote, uint8_t* own_public, uint8_t* shared) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* p = nullptr;
    BIGNUM* g = BN_new();
    BIGNUM* xb = BN_bin2bn(x, kPrivateKeySize, nullptr);
    BIGNUM* ya = BN_bin2bn(remote, MseAccept::kKeySize, nullptr);
    BIGNUM* y = BN_new();
    BIGNUM* s = BN_new();
    BIGNUM* p_minus_1 = BN_new();
    bool ok = ctx && g && xb && ya && y && s && p_minus_1 && BN_hex2bn(&p, kPrimeHex) > 0 && BN_set_word(g, 2) &&
              BN_copy(p_minus_1, p) && BN_sub_word(p_minus_1, 1);
    ok = ok && BN_cmp(ya, BN_value_one()) > 0 && BN_cmp(ya, p_minus_1) < 0;
    ok = ok && BN_mod_exp(y, g, xb, p, ctx) && BN_mod_exp(s, ya, xb, p, ctx);
    ok = ok && BN_bn2binpad(y, own_public, MseAccept::kKeySize) == int(MseAccept::kKeySize) &&
         BN_bn2binpad(s, shared, MseAccept::kKeySize) == int(MseAccept::kKeySize);
    for (BIGNUM* n : {p, g, xb, ya, y, s, p_minus_1}) BN_clear_free(n);
    BN_CTX_free(ctx);
    return ok;
}

}  // namespace

Rc4Stream::Rc4Stream(const uint8_t* key, size_t length) {
    for (int k = 0; k < 256; ++k) s_[size_t(k)] = uint8_t(k);
    uint8_t j = 0;
    for (int k = 0; k < 256; ++k) {
        j = uint8_t(j + s_[size_t(k)] + key[size_t(k) % length]);
        std::swap(s_[size_t(k)], s_[j]);
    }
    uint8_t discard[1024] = {};
    Apply(discard, sizeof discard);
}

void Rc4Stream::Apply(uint8_t* data, size_t length) {
    for (size_t n = 0; n < length; ++n) {
        i_ = uint8_t(i_ + 1);
        j_ = uint8_t(j_ + s_[i_]);
        std::swap(s_[i_], s_[j_]);
        data[n] ^= s_[uint8_t(s_[i_] + s_[j_])];
    }
}

MseAccept::MseAccept(std::function<void(uint8_t*, size_t)> random) : random_(std::move(random)) {
    if (!random_) random_ = SystemRandom;
}

void MseAccept::DecryptUpTo(const uint8_t* data, size_t to) {
    const size_t from = sync_end_ + negotiation_.size();
    if (to <= from) return;
    const size_t at = negotiation_.size();
    negotiation_.insert(negotiation_.end(), data + from, data + to);
    incoming_->Apply(negotiation_.data() + at, to - from);
}

MseAccept::Result MseAccept::Advance(const uint8_t* data, size_t size, const FindTorrent& find,
                                     std::vector<uint8_t>* out) {
    switch (stage_) {
        case Stage::kDone:
            return Result::kDone;
        case Stage::kFailed:
            return Result::kFailed;
        case Stage::kWaitKey: {
            if (size < kKeySize) return Result::kNeedMore;
            uint8_t x[kPrivateKeySize];
            random_(x, sizeof x);
            std::array<uint8_t, kKeySize> own{};
            if (!DiffieHellman(x, data, own.data(), secret_.data())) return Fail();
            // No padding after our key: a remote that we then refuse (RC4
            // only) reconnects in plain text, and some clients carry unread
            // padding over into that new connection's first bytes.
            out->insert(out->end(), own.begin(), own.end());
            stage_ = Stage::kWaitSync;
            [[fallthrough]];
        }
        case Stage::kWaitSync: {
            // HASH('req1', S) ends the remote's padding, somewhere within 512 bytes.
            const auto req1 = Hash({Text("req1"), {secret_.data(), secret_.size()}});
            const size_t window_end = std::min(size, kKeySize + kMaxPad + req1.size());
            size_t found = 0;
            for (size_t at = kKeySize; at + req1.size() <= window_end && !found; ++at)
                if (std::memcmp(data + at, req1.data(), req1.size()) == 0) found = at;
            if (!found) return window_end == kKeySize + kMaxPad + req1.size() ? Fail() : Result::kNeedMore;
            if (size < found + 40) return Result::kNeedMore;
            // HASH('req2', SKEY) xor HASH('req3', S) names the torrent.
            const auto req3 = Hash({Text("req3"), {secret_.data(), secret_.size()}});
            std::array<uint8_t, 20> req2{};
            for (size_t k = 0; k < 20; ++k) req2[k] = data[found + 20 + k] ^ req3[k];
            if (!find || !find(req2, &info_hash_)) return Fail();
            sync_end_ = found + 40;
            const auto key_a = Hash({Text("keyA"), {secret_.data(), secret_.size()}, {info_hash_.data(), 20}});
            incoming_ = std::make_unique<Rc4Stream>(key_a.data(), key_a.size());
            stage_ = Stage::kWaitNegotiation;
            [[fallthrough]];
        }
        case Stage::kWaitNegotiation: {
            // VC, crypto_provide, len(PadC), PadC, len(IA), IA: decrypted only
            // as far as the lengths say, since plain bytes follow.
            DecryptUpTo(data, std::min(size, sync_end_ + kNegotiationHead));
            if (negotiation_.size() < kNegotiationHead) return Result::kNeedMore;
            static constexpr uint8_t kVc[8] = {};
            if (std::memcmp(negotiation_.data(), kVc, sizeof kVc) != 0) return Fail();
            const uint32_t provide = Big32(negotiation_.data() + 8);
            const size_t pad_c = Big16(negotiation_.data() + 12);
            if (!(provide & (kPlaintext | kRc4)) || pad_c > kMaxPad) return Fail();
            selected_ = (provide & kPlaintext) ? kPlaintext : kRc4;
            const size_t ia_length_at = kNegotiationHead + pad_c;
            DecryptUpTo(data, std::min(size, sync_end_ + ia_length_at + 2));
            if (negotiation_.size() < ia_length_at + 2) return Result::kNeedMore;
            const size_t ia = Big16(negotiation_.data() + ia_length_at);
            if (ia > kMaxInitialPayload) return Fail();
            DecryptUpTo(data, std::min(size, sync_end_ + ia_length_at + 2 + ia));
            if (negotiation_.size() < ia_length_at + 2 + ia) return Result::kNeedMore;
            payload_offset_ = sync_end_ + ia_length_at + 2;
            initial_payload_.assign(negotiation_.begin() + std::ptrdiff_t(ia_length_at + 2), negotiation_.end());
            // Our answer: VC, crypto_select, no PadD, under keyB.
            const auto key_b = Hash({Text("keyB"), {secret_.data(), secret_.size()}, {info_hash_.data(), 20}});
            outgoing_ = std::make_unique<Rc4Stream>(key_b.data(), key_b.size());
            uint8_t answer[kNegotiationHead] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(selected_), 0, 0};
            outgoing_->Apply(answer, sizeof answer);
            out->insert(out->end(), answer, answer + sizeof answer);
            if (selected_ == kPlaintext) {
                incoming_.reset();
                outgoing_.reset();
            }
            stage_ = Stage::kDone;
            return Result::kDone;
        }
    }
    return Fail();
}

}  // namespace zl
