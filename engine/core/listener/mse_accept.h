// The accepting side of the obfuscated BitTorrent handshake that many
// clients try first (message stream encryption: a Diffie-Hellman exchange,
// then RC4-encrypted negotiation). Plain text after the negotiation is chosen
// whenever the remote offers it (no cost per byte); a remote that offers only
// RC4 gets RC4 for the whole stream (some clients cannot fall back to plain
// text once they have begun). Once negotiated, the remote's initial payload
// (usually its BitTorrent handshake) is decrypted where it lies. Pure state
// over the bytes received so far; the caller sends what it is told to.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/net/socket.h"

namespace zl {

// RC4 with the first 1024 bytes of key stream thrown away, as the handshake uses it.
class Rc4Stream final : public StreamCipher {
public:
    Rc4Stream() = default;
    explicit Rc4Stream(const uint8_t* key, size_t length);
    void Apply(uint8_t* data, size_t length) override;

private:
    std::array<uint8_t, 256> s_{};
    uint8_t i_ = 0, j_ = 0;
};

class MseAccept {
public:
    static constexpr size_t kKeySize = 96;         // the public keys
    static constexpr size_t kMaxPad = 512;         // PadA and PadC at most
    static constexpr size_t kMaxInitialPayload = 1024;  // IA accepted at most (a handshake needs 68)
    static constexpr uint32_t kPlaintext = 0x01;
    static constexpr uint32_t kRc4 = 0x02;

    enum class Result {
        kNeedMore,  // waiting for the remote's bytes
        kDone,      // negotiated: see payload_offset() and initial_payload()
        kFailed,    // not such a handshake, an unknown torrent, or RC4 only
    };
    using InfoHash = std::array<uint8_t, 20>;
    // Given HASH('req2', SKEY) from the remote, the info hash it stands for (false: none of ours).
    using FindTorrent = std::function<bool(const std::array<uint8_t, 20>& req2_hash, InfoHash* info_hash)>;

    // `random` fills bytes (the private key and the padding); tests give a fixed one.
    explicit MseAccept(std::function<void(uint8_t*, size_t)> random = {});

    // Looks at every byte received so far (the connection's first byte is at
    // data[0]). Bytes to send to the remote are appended to *out.
    Result Advance(const uint8_t* data, size_t size, const FindTorrent& find, std::vector<uint8_t>* out);

    bool started() const { return stage_ != Stage::kWaitKey; }
    // With kDone: the remote's initial payload (decrypted) lies at
    // [payload_offset, payload_offset + initial_payload().size()) of the
    // received bytes, and plain bytes follow it.
    size_t payload_offset() const { return payload_offset_; }
    const std::vector<uint8_t>& initial_payload() const { return initial_payload_; }
    const InfoHash& info_hash() const { return info_hash_; }
    // RC4 was chosen: the streams that go on where the negotiation left off
    // (the remote's bytes after the initial payload are deciphered with the first).
    bool rc4() const { return selected_ == kRc4; }
    std::unique_ptr<StreamCipher> TakeIncomingCipher() { return std::move(incoming_); }
    std::unique_ptr<StreamCipher> TakeOutgoingCipher() { return std::move(outgoing_); }

private:
    enum class Stage { kWaitKey, kWaitSync, kWaitNegotiation, kDone, kFailed };

    Result Fail() {
        stage_ = Stage::kFailed;
        return Result::kFailed;
    }
    // Decrypts the remote's bytes [from, to) into negotiation_ (once each).
    void DecryptUpTo(const uint8_t* data, size_t to);

    std::function<void(uint8_t*, size_t)> random_;
    Stage stage_ = Stage::kWaitKey;
    std::array<uint8_t, kKeySize> secret_{};  // S
    size_t sync_end_ = 0;                     // just past HASH('req1', S) and the req2/req3 word
    InfoHash info_hash_{};
    std::unique_ptr<Rc4Stream> incoming_;    // from the remote (keyA), after the negotiation
    std::unique_ptr<Rc4Stream> outgoing_;    // to the remote (keyB)
    uint32_t selected_ = 0;
    std::vector<uint8_t> negotiation_;        // decrypted bytes from sync_end_ on
    size_t payload_offset_ = 0;
    std::vector<uint8_t> initial_payload_;
};

}  // namespace zl
