// A remote that takes requests and never answers them: after thirty seconds
// the peer cancels them and hands them back to the task, does not ask this
// remote for those pieces again, and gives it one request at a time until a
// block arrives. A scripted remote on loopback (127.0.10.x), the clock faked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/engine/net/bt_scripted_remote.h"
#include "tests/engine/net/fake_bt_task.h"

namespace zl {
namespace {

using test::FakeBtTask;
using test::ScriptedRemote;

constexpr int64_t kPiece = 2 * kBlockSize;

std::string Content(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 11;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

std::string Msg(uint8_t id, const std::string& payload = {}) {
    uint8_t length[4];
    bt::WriteU32(length, static_cast<uint32_t>(payload.size() + 1));
    return std::string(reinterpret_cast<char*>(length), 4) + static_cast<char>(id) + payload;
}

class BtPeerTimeoutTest : public ::testing::Test {
protected:
    BtPeerTimeoutTest() : task_(Content(6 * kPiece), kPiece), remote_("127.0.10.2") {
        remote_.content = task_.content;
        remote_.piece_length = kPiece;
        const BtHandshake theirs = test::MakeHandshake(0xAB, 0x33);
        remote_.reply_handshake = std::string(theirs.begin(), theirs.end());
        remote_.after_handshake = Msg(bt::kBitfield, std::string(1, '\xfc')) + Msg(bt::kUnchoke);
    }
    ~BtPeerTimeoutTest() override {
        if (peer_) peer_->Reset();
    }
    void Connect() {
        identity_ = RefPtr<TPeerId>::Adopt(new TPeerId("btnode://127.0.10.2"));
        identity_->kind = kKindNode;
        identity_->address = remote_.address();
        identity_->port = remote_.port();
        identity_->parsed = true;
        SocketEnv env;
        env.clock = &task_.fake_clock;
        env.seconds = [this] { return task_.EngineSeconds(); };
        peer_ = RefPtr<TBTPeer>::Adopt(new TBTPeer(task_, task_, env));
        ASSERT_TRUE(peer_->AttachIdentity(identity_.get()));
    }
    // Passes `step_ms` of clock apart until `done` holds or `ms` of clock ran.
    bool Run(uint64_t ms, uint64_t step_ms, const std::function<bool()>& done = [] { return false; }) {
        for (uint64_t at = 0; at < ms; at += step_ms) {
            if (done()) return true;
            EXPECT_TRUE(peer_->DownloadPass());
            remote_.Pump();
            task_.fake_clock.Advance(step_ms);
            ::usleep(100);
        }
        return done();
    }

    FakeBtTask task_;
    ScriptedRemote remote_;
    RefPtr<TPeerId> identity_;
    RefPtr<TBTPeer> peer_;
};

TEST_F(BtPeerTimeoutTest, RequestsToASilentRemoteGoBackAfterThirtySeconds) {
    Connect();
    ASSERT_TRUE(Run(2000, 5, [&] { return remote_.Count(bt::kRequest) >= 2; }));
    const int asked = remote_.Count(bt::kRequest);
    // Silence for most of the time allowed: nothing is taken back yet.
    Run(28'000, 500);
    EXPECT_EQ(remote_.Count(bt::kCancel), 0);
    EXPECT_EQ(task_.returned, 0u);
    EXPECT_FALSE(peer_->snubbed());
    // Past thirty seconds: every request is cancelled and handed back.
    ASSERT_TRUE(Run(4000, 500, [&] { return peer_->request_timeouts() == 1; }));
    EXPECT_EQ(remote_.Count(bt::kCancel), asked);
    EXPECT_EQ(task_.returned, static_cast<size_t>(asked));
    EXPECT_TRUE(peer_->snubbed());
    // From now on one request at a time, for another piece.
    Run(2000, 5);
    ASSERT_EQ(remote_.Count(bt::kRequest), asked + 1);
    const uint32_t first_piece = bt::ReadU32(reinterpret_cast<const uint8_t*>(remote_.messages.back().payload.data()));
    uint32_t earlier_piece = 0;
    for (const ScriptedRemote::Message& m : remote_.messages)
        if (m.id == bt::kRequest) {
            earlier_piece = bt::ReadU32(reinterpret_cast<const uint8_t*>(m.payload.data()));
            break;
        }
    EXPECT_NE(first_piece, earlier_piece) << "the pieces that timed out are not asked of it again";
    // A block that arrives ends the penalty.
    const std::string& ref = remote_.messages.back().payload;
    const uint32_t begin = bt::ReadU32(reinterpret_cast<const uint8_t*>(ref.data()) + 4);
    const uint32_t length = bt::ReadU32(reinterpret_cast<const uint8_t*>(ref.data()) + 8);
    remote_.Send(Msg(bt::kPiece, ref.substr(0, 8) +
                                     task_.content.substr(static_cast<size_t>(first_piece * kPiece + begin), length)));
    remote_.serve = true;
    ASSERT_TRUE(Run(2000, 5, [&] { return !peer_->snubbed(); }));
    EXPECT_EQ(peer_->request_timeouts(), 1);
}

}  // namespace
}  // namespace zl
