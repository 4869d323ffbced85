// The accepting side of the obfuscated handshake against a hostile remote:
// the input either is the remote's byte stream as it is (arriving in pieces),
// or shapes a well-formed negotiation (paddings, offered methods, initial
// payload) of which one byte is then flipped. Whatever comes, nothing is read
// outside the bytes, and a finished negotiation's payload lies inside them.
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/listener/mse_accept.h"
#include "engine/meta/sha1.h"

namespace {

constexpr const char* kPrime =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DDEF9519B3CD"
    "3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A63A36210000000000090563";

std::string Sha(const std::string& bytes) {
    const zl::Sha1Digest d = zl::Sha1Of(bytes.data(), bytes.size());
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

std::string Power(BIGNUM* base, BIGNUM* x, BIGNUM* p) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* r = BN_new();
    BN_mod_exp(r, base, x, p, ctx);
    std::string out(96, '\0');
    BN_bn2binpad(r, reinterpret_cast<uint8_t*>(out.data()), 96);
    BN_free(r);
    BN_CTX_free(ctx);
    return out;
}

// The remote's private key and the engine's are fixed, so the whole exchange is known in advance.
void FixedRandom(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(0x5a + i);
}

const zl::MseAccept::InfoHash kOurs = [] {
    zl::MseAccept::InfoHash h;
    h.fill('A');
    return h;
}();

bool Find(const std::array<uint8_t, 20>& req2, zl::MseAccept::InfoHash* hash) {
    const std::string want = Sha("req2" + std::string(kOurs.begin(), kOurs.end()));
    if (std::memcmp(req2.data(), want.data(), 20) != 0) return false;
    *hash = kOurs;
    return true;
}

void Run(const std::string& wire, size_t step) {
    zl::MseAccept accept(FixedRandom);
    std::vector<uint8_t> out;
    for (size_t n = 0;; n = std::min(wire.size(), n + step)) {
        const auto r = accept.Advance(reinterpret_cast<const uint8_t*>(wire.data()), n, Find, &out);
        if (r == zl::MseAccept::Result::kDone &&
            accept.payload_offset() + accept.initial_payload().size() > n)
            std::abort();
        if (r != zl::MseAccept::Result::kNeedMore || n == wire.size()) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const size_t step = 1 + data[1] % 97;
    if (data[0] & 1) {
        Run(std::string(reinterpret_cast<const char*>(data + 2), size - 2), step);
        return 0;
    }
    // A negotiation shaped by the input, then one byte flipped.
    const size_t pad_a = (data[2] | (data[3] << 8)) % 600, pad_c = data[4] % 64 * 9;
    const uint32_t provide = data[5] % 4;
    const size_t flip = data[6] | (data[7] << 8);
    const std::string ia(reinterpret_cast<const char*>(data + 8), std::min<size_t>(size - 8, 1100));
    BIGNUM* p = nullptr;
    BN_hex2bn(&p, kPrime);
    BIGNUM* g = BN_new();
    BN_set_word(g, 2);
    BIGNUM* xa = BN_new();
    BN_set_word(xa, 0x9e3779b9);
    BIGNUM* xb = BN_bin2bn(std::vector<uint8_t>{0x5a, 0x5b, 0x5c, 0x5d, 0x5e, 0x5f, 0x60, 0x61, 0x62, 0x63,
                                                0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x6b, 0x6c, 0x6d}
                               .data(),
                           20, nullptr);
    const std::string ya = Power(g, xa, p);
    BIGNUM* yb = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_mod_exp(yb, g, xb, p, ctx);
    const std::string secret = Power(yb, xa, p);
    const std::string skey(kOurs.begin(), kOurs.end());
    std::string wire = ya + std::string(pad_a, '\x33') + Sha("req1" + secret);
    const std::string req2 = Sha("req2" + skey), req3 = Sha("req3" + secret);
    for (int i = 0; i < 20; ++i) wire += char(req2[size_t(i)] ^ req3[size_t(i)]);
    std::string body(8, '\0');
    body += {0, 0, 0, char(provide)};
    body += {char(pad_c >> 8), char(pad_c)};
    body += std::string(pad_c, '\x44');
    body += {char(ia.size() >> 8), char(ia.size())};
    body += ia;
    const std::string key_a = Sha("keyA" + secret + skey);
    zl::Rc4Stream rc4(reinterpret_cast<const uint8_t*>(key_a.data()), key_a.size());
    rc4.Apply(reinterpret_cast<uint8_t*>(body.data()), body.size());
    wire += body;
    if (flip < wire.size() * 2) wire[flip % wire.size()] ^= 0x01;  // sometimes nothing flips
    Run(wire, step);
    for (BIGNUM* n : {p, g, xa, xb, yb}) BN_free(n);
    BN_CTX_free(ctx);
    return 0;
}
