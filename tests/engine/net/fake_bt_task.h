// A task for BitTorrent peer tests: the fake piece map of FakePeerTask with
// real content (received blocks are compared byte for byte, uploads read
// from it), our handshake, the switches, a simple piece choice and the
// upload counters.
#pragma once
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/net/bt_peer.h"
#include "tests/engine/net/fake_peer_task.h"

namespace zl::test {

inline BtHandshake MakeHandshake(uint8_t hash_byte, uint8_t id_byte) {
    BtHandshake h{};
    h[0] = 19;
    std::memcpy(h.data() + 1, "BitTorrent protocol", 19);
    std::fill(h.begin() + 28, h.begin() + 48, hash_byte);
    std::fill(h.begin() + 48, h.end(), id_byte);
    return h;
}

class FakeBtTask : public FakePeerTask, public IBtPeerTask {
public:
    FakeBtTask(std::string data, int64_t piece_length)
        : FakePeerTask(static_cast<int32_t>((static_cast<int64_t>(data.size()) + piece_length - 1) / piece_length),
                       piece_length, static_cast<int64_t>(data.size())),
          content(std::move(data)),
          received_bytes(content.size(), '\0'),
          handshake(MakeHandshake(0xAB, 0x11)) {}

    // Our side holds every piece (an uploading task).
    void HaveAll() {
        for (auto& piece : present) std::fill(piece.begin(), piece.end(), true);
    }

    BlockWriteResult WriteBlock(TPeerObject& sender, int32_t p, int64_t offset, int32_t length,
                                const uint8_t* data) override {
        const int64_t at = static_cast<int64_t>(p) * piece_length + offset;
        if (at < 0 || at + length > static_cast<int64_t>(content.size())) {
            ++out_of_bounds;
            return {BlockWrite::kRefused, 0};
        }
        std::memcpy(received_bytes.data() + at, data, static_cast<size_t>(length));
        if (std::memcmp(data, content.data() + at, static_cast<size_t>(length)) != 0) bad_pieces.insert(p);
        const BlockWriteResult r = FakePeerTask::WriteBlock(sender, p, offset, length, data);
        if (r.hash_failed()) bad_pieces.erase(p);
        return r;
    }
    bool ReceivedAll() const { return IsCompleteConst() && received_bytes == content; }
    bool IsCompleteConst() const {
        for (const auto& piece : present)
            if (!std::all_of(piece.begin(), piece.end(), [](bool b) { return b; })) return false;
        return true;
    }

    // --- IBtPeerTask ---
    const BtHandshake& Handshake() override { return handshake; }
    bool HttpWrap() override { return http_wrap; }
    bool AcceptsPeers() override { return true; }
    bool HasPeerWithId(const TPeerObject&, uint32_t, const PeerIdBytes&) override { return false; }
    void NoteConnected(TPeerObject&) override { ++connected; }
    std::vector<uint8_t> OwnBitfield() override {
        if (!has_metadata) return {};
        std::vector<uint8_t> bits(static_cast<size_t>((piece_count + 7) / 8), 0);
        for (int32_t p = 0; p < piece_count; ++p)
            if (PieceComplete(p)) bits[static_cast<size_t>(p / 8)] |= static_cast<uint8_t>(0x80 >> (p % 8));
        return bits;
    }
    bool HavePiece(int32_t piece) override { return piece >= 0 && piece < piece_count && PieceComplete(piece); }
    int32_t ChoosePiece(TPeerObject&, const BtPieceQuery& query) override {
        for (int32_t p = 0; p < piece_count; ++p) {
            if (!PieceWanted(p) || !query.offered(p)) continue;
            if (marked.count(p) && !endgame) continue;
            marked.insert(p);
            return p;
        }
        return -1;
    }
    void UnmarkRequested(int32_t piece) override {
        marked.erase(piece);
        FakePeerTask::UnmarkRequested(piece);
    }
    bool TakeSharedRequests(RequestList& mine, const std::function<bool(int32_t)>& remote_has,
                            int32_t maximum) override {
        bool moved = false;
        for (auto it = shared.begin(); it != shared.end() && static_cast<int32_t>(mine.size()) < maximum;) {
            if (remote_has(it->piece) && PieceWanted(it->piece) && mine.Add(*it)) {
                it = shared.erase(it);
                moved = true;
            } else {
                ++it;
            }
        }
        return moved;
    }
    bool InEndgameNow() override { return endgame; }
    int32_t ReadBlock(int32_t piece, int64_t offset, int32_t length, uint8_t* out) override {
        ++reads;
        if (unreadable.count(piece) || !HavePiece(piece)) return -3;
        const int64_t at = static_cast<int64_t>(piece) * piece_length + offset;
        if (offset < 0 || length <= 0 || offset + length > PieceSize(piece)) {
            ++out_of_bounds;
            return -3;
        }
        std::memcpy(out, content.data() + at, static_cast<size_t>(length));
        return length;
    }
    int64_t UploadAllowance() override { return upload_allowance; }
    void AddUploaded(int64_t bytes) override { uploaded += bytes; }
    int32_t ActiveNodeCount() override { return 1; }
    uint32_t BindAddress() override { return bind_address; }

    std::string content;
    std::string received_bytes;
    BtHandshake handshake;
    bool http_wrap = false;
    int connected = 0;
    std::set<int32_t> marked;
    std::set<int32_t> unreadable;
    int64_t upload_allowance = -1;
    int64_t uploaded = 0;
    int reads = 0;
    int out_of_bounds = 0;
    uint32_t bind_address = 0;
};

}  // namespace zl::test
