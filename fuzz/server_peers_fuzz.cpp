// Bytes from a hostile HTTP or FTP server, fed to a real THttpPeer or
// TFtpPeer through an in-memory transport in pieces of varying size, with
// download passes run until the peer ends. Delivered blocks must be ones the
// peer asked for, and nothing may read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "engine/base/errnum.h"
#include "engine/base/ref_object.h"
#include "engine/net/ftp_peer.h"
#include "engine/net/http_peer.h"
#include "engine/net/resolver.h"
#include "tests/engine/net/fake_peer_task.h"

namespace {

// The first connection gets the control (or HTTP) stream, every later one the data stream.
class ScriptTransport : public zl::IStreamTransport {
public:
    ScriptTransport(std::string_view control, std::string_view data, size_t step)
        : control_(control), data_(data), step_(step) {}

    int Open(int32_t*) override {
        const int handle = next_++;
        streams_[handle] = Stream{handle == 1 ? control_ : data_, 0};
        return handle;
    }
    int Bind(int, const zl::StreamEndpoint&, int32_t*) override { return 0; }
    int Listen(int, int, int32_t*) override { return 0; }
    int Connect(int, const zl::StreamEndpoint&, int32_t*) override { return 0; }
    int Accept(int, zl::StreamEndpoint*, int32_t* error) override {
        *error = zl::err::kWouldBlock;
        return -1;
    }
    int64_t Send(int, const uint8_t*, size_t length, int32_t*) override { return static_cast<int64_t>(length); }
    int64_t Recv(int handle, uint8_t* out, size_t length, int32_t* error) override {
        auto it = streams_.find(handle);
        if (it == streams_.end()) {
            *error = zl::err::kInvalid;
            return -1;
        }
        Stream& s = it->second;
        // Every other call has nothing yet, as a real connection would.
        if ((++calls_ & 1) == 0) {
            *error = zl::err::kWouldBlock;
            return -1;
        }
        if (s.at >= s.bytes.size()) return 0;  // closed by the server
        const size_t n = std::min({length, step_, s.bytes.size() - s.at});
        std::copy_n(s.bytes.data() + s.at, n, out);
        s.at += n;
        return static_cast<int64_t>(n);
    }
    int Wait(int, bool, int, int32_t*) override { return 1; }
    int32_t PendingError(int) override { return 0; }
    int LocalEndpoint(int, zl::StreamEndpoint* local, int32_t*) override {
        local->address = 0x0100007F;
        local->port = 50000;
        return 0;
    }
    int SetReceiveBuffer(int, int, int32_t*) override { return 0; }
    void Close(int handle) override { streams_.erase(handle); }

private:
    struct Stream {
        std::string_view bytes;
        size_t at = 0;
    };
    std::string_view control_;
    std::string_view data_;
    size_t step_;
    int next_ = 1;
    uint64_t calls_ = 0;
    std::map<int, Stream> streams_;
};

class CheckingTask : public zl::test::FakePeerTask {
public:
    using FakePeerTask::FakePeerTask;
    zl::BlockWriteResult WriteBlock(zl::TPeerObject& sender, int32_t p, int64_t offset, int32_t length,
                                    const uint8_t* data) override {
        if (p < 0 || p >= piece_count || offset < 0 || length <= 0 || offset + length > PieceSize(p)) std::abort();
        volatile uint8_t sink = data[0] ^ data[length - 1];  // the whole block must be readable
        (void)sink;
        return FakePeerTask::WriteBlock(sender, p, offset, length, data);
    }
};

class NoNames : public zl::IResolverBackend {
public:
    int32_t Lookup(const std::string&, std::vector<uint32_t>*) override { return zl::err::kHostNotFound; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 3) return 0;
    const bool ftp = bytes[0] & 1;
    const bool whole_content = bytes[0] & 2;
    const bool length_known = bytes[0] & 4;
    const int32_t pieces_held = (bytes[0] >> 3) & 7;
    const size_t step = 1 + bytes[1] * 64;
    std::string_view wire(reinterpret_cast<const char*>(bytes) + 2, size - 2);
    // FTP: the control stream, then "\n--\n", then the data stream.
    std::string_view data;
    if (const size_t split = wire.find("\n--\n"); ftp && split != std::string_view::npos) {
        data = wire.substr(split + 4);
        wire = wire.substr(0, split + 1);
    }

    static zl::TResolver resolver(std::make_shared<NoNames>());
    ScriptTransport transport(wire, data, step);
    zl::SocketEnv env;
    env.tcp = &transport;
    env.resolver = &resolver;

    constexpr int64_t kPiece = 32768;
    constexpr int64_t kSize = 300000;
    CheckingTask task(10, kPiece, kSize);
    for (int32_t p = 0; p < pieces_held; ++p) std::fill(task.present[p].begin(), task.present[p].end(), true);
    auto identity = zl::RefPtr<zl::TPeerId>::Adopt(new zl::TPeerId(ftp ? "ftp://127.0.0.1/pub/a.bin"
                                                                        : "http://127.0.0.1/files/a.bin"));
    identity->address = 0x0100007F;
    identity->port = ftp ? 21 : 80;
    identity->kind = ftp ? zl::kKindFtp : zl::kKindHttp;
    identity->open_connections = 1;
    zl::TSourceAddress& source = identity->Source();
    source.host = "127.0.0.1";
    source.path = "/pub/a.bin";
    source.http_path = "/files/a.bin";
    source.file_name = "a.bin";
    source.whole_content = whole_content;
    if (length_known) source.content_length = kSize;

    zl::RefPtr<zl::TPeerObject> peer;
    if (ftp)
        peer = zl::RefPtr<zl::TPeerObject>::Adopt(new zl::TFtpPeer(task, env));
    else
        peer = zl::RefPtr<zl::TPeerObject>::Adopt(new zl::THttpPeer(task, env));
    if (peer->AttachIdentity(identity.get())) {
        for (int pass = 0; pass < 20000 && peer->DownloadPass(); ++pass) {
        }
    }
    peer->Reset();
    return 0;
}
