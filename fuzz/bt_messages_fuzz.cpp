// Bytes from a hostile BitTorrent remote, after a valid handshake, fed to a
// real TBTPeer through an in-memory transport in pieces of varying size, with
// download and upload passes run until the peer ends. Blocks written must lie
// inside the torrent, uploads read only inside held pieces, and nothing may
// read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "engine/base/errnum.h"
#include "engine/net/bt_peer.h"
#include "tests/engine/net/fake_bt_task.h"

namespace {

class ScriptTransport : public zl::IStreamTransport {
public:
    ScriptTransport(std::string bytes, size_t step) : bytes_(std::move(bytes)), step_(step) {}

    int Open(int32_t*) override { return 1; }
    int Bind(int, const zl::StreamEndpoint&, int32_t*) override { return 0; }
    int Listen(int, int, int32_t*) override { return 0; }
    int Connect(int, const zl::StreamEndpoint&, int32_t*) override { return 0; }
    int Accept(int, zl::StreamEndpoint*, int32_t* error) override {
        *error = zl::err::kWouldBlock;
        return -1;
    }
    int64_t Send(int, const uint8_t*, size_t length, int32_t*) override { return static_cast<int64_t>(length); }
    int64_t Recv(int, uint8_t* out, size_t length, int32_t* error) override {
        if ((++calls_ & 1) == 0) {
            *error = zl::err::kWouldBlock;
            return -1;
        }
        if (at_ >= bytes_.size()) return 0;
        const size_t n = std::min({length, step_, bytes_.size() - at_});
        std::copy_n(bytes_.data() + at_, n, out);
        at_ += n;
        return static_cast<int64_t>(n);
    }
    int Wait(int, bool, int, int32_t*) override { return 1; }
    int32_t PendingError(int) override { return 0; }
    int LocalEndpoint(int, zl::StreamEndpoint* local, int32_t*) override {
        local->address = 0x0204007F;
        local->port = 50000;
        return 0;
    }
    int SetReceiveBuffer(int, int, int32_t*) override { return 0; }
    void Close(int) override {}

private:
    std::string bytes_;
    size_t step_;
    size_t at_ = 0;
    uint64_t calls_ = 0;
};

class CheckingTask : public zl::test::FakeBtTask {
public:
    using FakeBtTask::FakeBtTask;
    zl::BlockWriteResult WriteBlock(zl::TPeerObject& sender, int32_t p, int64_t offset, int32_t length,
                                    const uint8_t* data) override {
        if (p < 0 || p >= piece_count || offset < 0 || length <= 0 || offset + length > PieceSize(p)) std::abort();
        return FakeBtTask::WriteBlock(sender, p, offset, length, data);
    }
    int32_t ReadBlock(int32_t piece, int64_t offset, int32_t length, uint8_t* out) override {
        if (piece < 0 || piece >= piece_count || offset < 0 || length <= 0 || offset + length > PieceSize(piece))
            std::abort();
        return FakeBtTask::ReadBlock(piece, offset, length, out);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 2) return 0;
    const int32_t pieces_held = bytes[0] & 7;
    const bool metadata = (bytes[0] & 8) == 0;
    const bool wrap = (bytes[0] & 16) != 0;
    const size_t step = 1 + bytes[1] * 64;
    CheckingTask task(std::string(300000, 'd'), 32768);
    task.has_metadata = metadata;
    task.http_wrap = wrap;
    for (int32_t p = 0; p < pieces_held && p < task.piece_count; ++p)
        std::fill(task.present[p].begin(), task.present[p].end(), true);
    std::string wire(task.handshake.begin(), task.handshake.end());
    wire[50] = 0x77;  // another peer id
    wire.append(reinterpret_cast<const char*>(bytes) + 2, size - 2);
    ScriptTransport transport(wire, step);
    zl::SocketEnv env;
    env.tcp = &transport;
    env.clock = &task.fake_clock;
    env.seconds = [&task] { return task.EngineSeconds(); };

    auto identity = zl::RefPtr<zl::TPeerId>::Adopt(new zl::TPeerId("btnode://127.0.4.2:6881"));
    identity->address = 0x0204007F;
    identity->port = 6881;
    identity->kind = zl::kKindNode;
    identity->parsed = true;
    auto peer = zl::RefPtr<zl::TBTPeer>::Adopt(new zl::TBTPeer(task, task, env));
    if (peer->AttachIdentity(identity.get())) {
        for (int pass = 0; pass < 5000; ++pass) {
            if (!peer->DownloadPass() || !peer->UploadPass()) break;
            if (pass == 100) task.has_metadata = true;  // the metadata may arrive late
            task.fake_clock.Advance(3);
        }
    }
    if (task.out_of_bounds != 0) std::abort();
    peer->Reset();
    return 0;
}
