// Support for driving the server peers (HTTP, FTP) against real servers on
// loopback: a task that keeps an image of the delivered file and records
// what the peer told it, identities parsed from URLs, a pass loop with a
// real-time safety limit, and a small scripted python3 server.
#pragma once
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/base/ref_object.h"
#include "engine/net/peer_object.h"
#include "engine/net/resolver.h"
#include "engine/net/source_url.h"
#include "tests/engine/net/fake_peer_task.h"
#include "tests/engine/net/fake_resolver.h"
#include "tests/engine/net/http_ftp_test_support.h"

namespace zl::test {

// A task over a file of `size` bytes that checks nothing but records everything.
class RecordingTask : public FakePeerTask {
public:
    RecordingTask(int64_t size, int64_t piece_length)
        : FakePeerTask(static_cast<int32_t>((size + piece_length - 1) / piece_length), piece_length, size),
          image(static_cast<size_t>(size), '\0') {}

    BlockWriteResult WriteBlock(TPeerObject& sender, int32_t p, int64_t offset, int32_t length,
                                const uint8_t* data) override {
        const int64_t at = static_cast<int64_t>(p) * piece_length + offset;
        ++deliveries[at];
        if (at >= 0 && at + length <= static_cast<int64_t>(image.size()))
            image.replace(static_cast<size_t>(at), static_cast<size_t>(length), reinterpret_cast<const char*>(data),
                          static_cast<size_t>(length));
        return FakePeerTask::WriteBlock(sender, p, offset, length, data);
    }
    // Marks whole pieces as already held, so that the peer starts after them.
    void HavePieces(int32_t first, int32_t last) {
        for (int32_t p = first; p <= last; ++p) std::fill(present[p].begin(), present[p].end(), true);
    }
    // Every block from `from` (a block boundary) to the end arrived exactly once, and no other.
    bool EveryBlockOnce(int64_t from = 0) const {
        const int64_t blocks = (total_size - from + kBlockSize - 1) / kBlockSize;
        if (static_cast<int64_t>(deliveries.size()) != blocks) return false;
        for (auto& [offset, count] : deliveries)
            if (count != 1 || offset < from || offset % kBlockSize != 0) return false;
        return true;
    }

    struct Penalty {
        bool keep;
        int32_t passes;
    };
    void PenaliseSource(TPeerId*, bool keep, int32_t passes) override { penalties.push_back({keep, passes}); }
    void AddCandidate(TPeerId* identity) override { candidates.push_back(RefPtr<TPeerId>::Share(identity)); }
    void NoteHostUnresolved() override { ++unresolved; }

    std::string image;
    std::map<int64_t, int> deliveries;  // file offset -> times delivered
    std::vector<Penalty> penalties;
    std::vector<RefPtr<TPeerId>> candidates;
    int unresolved = 0;
};

// A task whose piece memory takes blocks in place: the body's bytes are read
// straight into it, the block that came only in part is completed from the
// receive buffer, and pieces it offers no memory for go the usual way.
class InPlaceTask : public RecordingTask {
public:
    InPlaceTask(int64_t size, int64_t piece_length, int32_t offer_every)
        : RecordingTask(size, piece_length), place(static_cast<size_t>(size)), offer_every_(offer_every) {}
    uint8_t* BlockBuffer(int32_t p, int64_t offset, int32_t length) override {
        const BlockInfo g = Geometry();
        if (!g.IsBlockInPiece(p, offset, length) || p % offer_every_ != 0 || present[p][BlockInfo::BlockIndex(offset)])
            return nullptr;
        return place.data() + g.PieceBegin(p) + offset;
    }
    BlockWriteResult WriteBlock(TPeerObject& sender, int32_t p, int64_t offset, int32_t length,
                                const uint8_t* data) override {
        if (data == place.data() + Geometry().PieceBegin(p) + offset) ++in_place;
        return RecordingTask::WriteBlock(sender, p, offset, length, data);
    }
    std::vector<uint8_t> place;
    int32_t in_place = 0;

private:
    int32_t offer_every_;
};

// After a whole download into an InPlaceTask: every block came once with the
// right bytes, some straight into the piece memory, and where pieces had no
// memory offered the rest came the usual way.
inline void ExpectFilledInPlace(InPlaceTask& task, const std::string& content, int32_t offer_every) {
    EXPECT_TRUE(task.IsComplete());
    EXPECT_TRUE(task.EveryBlockOnce());
    EXPECT_TRUE(task.image == content);
    EXPECT_GT(task.in_place, 0);
    if (offer_every > 1) {
        EXPECT_LT(task.in_place, static_cast<int32_t>(task.deliveries.size()));
    }
}

// A resolver that knows no names: only dotted addresses parse.
inline TResolver& LiteralResolver() {
    static TResolver resolver(std::make_shared<TableResolver>());
    return resolver;
}

inline RefPtr<TPeerId> ParsedIdentity(const std::string& url) {
    auto identity = RefPtr<TPeerId>::Adopt(new TPeerId(url));
    ParseSourceUrl(*identity, LiteralResolver());
    identity->open_connections = 1;
    identity->order_key = kOrderKeyServer;
    return identity;
}

inline SocketEnv PeerEnv() {
    SocketEnv env;
    env.resolver = &LiteralResolver();
    return env;
}

// Runs download passes until one fails (a server peer ends when its work is
// done) or `limit` of real time passes. Returns the number of passes run;
// `failed` tells whether the last pass failed.
inline int RunPasses(TPeerObject& peer, bool* failed, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int passes = 0;
    *failed = false;
    while (std::chrono::steady_clock::now() < deadline) {
        ++passes;
        if (!peer.DownloadPass()) {
            *failed = true;
            break;
        }
        if (peer.transfer().pass_received == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return passes;
}

// A python3 server running `script` with the listening address and port as
// its arguments (it must print nothing and serve until killed).
class ScriptedServer {
public:
    ScriptedServer(const ServedDir& folder, const std::string& name, const std::string& script) {
        address = TestAddress();
        port = FreePort(address);
        const std::string path = folder / (name + ".py");
        WriteFile(path, script);
        server_ = std::make_unique<TestServer>(
            std::vector<std::string>{"/usr/bin/python3", path, address, std::to_string(port)},
            folder / (name + ".log"));
        listening = server_->WaitListening(address, port);
    }

    std::string address;
    uint16_t port = 0;
    bool listening = false;

private:
    std::unique_ptr<TestServer> server_;
};

// The tail of a scripted server that defines serve(c): listens on the
// address and port given as its arguments and serves each connection on a
// thread of its own, until killed.
inline constexpr const char* kThreadedServeLoop = R"PY(
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], int(sys.argv[2])))
s.listen(8)
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
)PY";

// A server that accepts connections and never says a word: for timeouts.
inline constexpr const char* kSilentServerScript = R"PY(
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], int(sys.argv[2])))
s.listen(8)
held = []
while True:
    c, _ = s.accept()
    held.append(c)
)PY";

}  // namespace zl::test
