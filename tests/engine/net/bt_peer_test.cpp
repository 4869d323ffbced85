// The BitTorrent peer against a scripted remote on real loopback sockets:
// the wire format, an honest download, the hostile cases (each skipped or
// ending the connection as the rules say, never a read or write outside the
// torrent), uploads with their checks, the preamble and its retry without it,
// keep-alives, and two of our peers exchanging data with the preamble on.
#include "engine/net/bt_peer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/engine/net/bt_scripted_remote.h"
#include "tests/engine/net/fake_bt_task.h"

namespace zl {
namespace {

using test::FakeBtTask;
using test::ScriptedRemote;

constexpr int64_t kPiece = 2 * kBlockSize;
// Four pieces; the last is 20000 bytes (a full block and a short one).
constexpr size_t kSize = 3 * kPiece + 20000;

std::string Content(size_t size, uint32_t seed = 7) {
    std::string s(size, '\0');
    uint32_t x = seed;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

std::string U32(uint32_t v) {
    uint8_t b[4];
    bt::WriteU32(b, v);
    return std::string(reinterpret_cast<char*>(b), 4);
}

std::string Msg(uint8_t id, const std::string& payload = {}) {
    return U32(static_cast<uint32_t>(payload.size() + 1)) + static_cast<char>(id) + payload;
}

std::string HandshakeText(const BtHandshake& h) { return std::string(h.begin(), h.end()); }

std::string AllBits(int32_t pieces) {
    std::string bits(static_cast<size_t>((pieces + 7) / 8), '\0');
    for (int32_t p = 0; p < pieces; ++p) bits[static_cast<size_t>(p / 8)] |= static_cast<char>(0x80 >> (p % 8));
    return bits;
}

std::string PieceMsg(uint32_t index, uint32_t begin, const std::string& block) {
    return Msg(bt::kPiece, U32(index) + U32(begin) + block);
}

std::string Ref(uint8_t id, uint32_t index, uint32_t begin, uint32_t length) {
    return Msg(id, U32(index) + U32(begin) + U32(length));
}

// --- the wire format -------------------------------------------------------------------

TEST(BtWire, FramesMessagesAndRefusesOversizedLengths) {
    struct Case {
        std::string bytes;
        bt::Frame::Status status;
        bool keep_alive;
        uint8_t id;
        size_t size;
    };
    const std::vector<Case> cases = {
        {U32(0), bt::Frame::kComplete, true, 0, 4},
        {Msg(9, "xyz"), bt::Frame::kComplete, false, 9, 8},
        {Msg(20, std::string(100, 'e')), bt::Frame::kComplete, false, 20, 105},
        {Msg(bt::kChoke), bt::Frame::kComplete, false, 0, 5},
        {U32(13) + "\x06" "abc", bt::Frame::kNeedMore, false, 6, 17},
        {std::string("\x00\x00", 2), bt::Frame::kNeedMore, false, 0, 0},
        {U32(524288) + "\x07", bt::Frame::kNeedMore, false, 7, 524292},
        {U32(524289) + "\x07", bt::Frame::kOversized, false, 0, 0},
        {U32(0xFFFFFFFF), bt::Frame::kOversized, false, 0, 0},
    };
    for (const Case& c : cases) {
        const bt::Frame f = bt::ReadFrame(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(f.status, c.status) << c.bytes.size();
        if (c.status == bt::Frame::kOversized) continue;
        EXPECT_EQ(f.keep_alive, c.keep_alive);
        EXPECT_EQ(f.id, c.id);
        EXPECT_EQ(f.size, c.size);
    }
}

TEST(BtWire, FixedSizeMessagesAreCheckedByLength) {
    auto frame = [](const std::string& bytes) {
        return bt::ReadFrame(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    };
    uint32_t index = 0;
    const std::string have = Msg(bt::kHave, U32(77));
    EXPECT_TRUE(bt::ParseHave(frame(have), &index));
    EXPECT_EQ(index, 77u);
    const std::string long_have = Msg(bt::kHave, U32(77) + "x");
    EXPECT_FALSE(bt::ParseHave(frame(long_have), &index));
    bt::BlockRef ref;
    const std::string request = Ref(bt::kRequest, 1, 2, 3);
    ASSERT_TRUE(bt::ParseBlockRef(frame(request), &ref));
    EXPECT_EQ(ref.index, 1u);
    EXPECT_EQ(ref.begin, 2u);
    EXPECT_EQ(ref.length, 3u);
    const std::string short_request = Msg(bt::kRequest, U32(1) + U32(2));
    EXPECT_FALSE(bt::ParseBlockRef(frame(short_request), &ref));
    uint32_t begin = 0, length = 0;
    const uint8_t* block = nullptr;
    const std::string empty_piece = Msg(bt::kPiece, U32(1) + U32(2));
    EXPECT_FALSE(bt::ParsePieceHeader(frame(empty_piece), &index, &begin, &block, &length));
    const std::string cannot_read = Msg(bt::kPiece, U32(0) + U32(2) + "\x35" + U32(9));
    EXPECT_TRUE(bt::IsCannotReadReply(frame(cannot_read)));
    const std::string real_block = PieceMsg(0, 2, "\x35" + U32(9) + "x");
    EXPECT_FALSE(bt::IsCannotReadReply(frame(real_block)));
}

TEST(BtWire, PreambleForAnAddressAndPort) {
    uint32_t address = 0;
    ::inet_pton(AF_INET, "1.2.3.4", &address);
    EXPECT_EQ(bt::DisguiseHeader(address, 6882, 1), "GET / HTTP/1.0\r\nHost: 67305985:1\r\n\r\n");
    EXPECT_EQ(bt::DisguiseHeader(address, 80, 2),
              "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Host: 67305985:80\r\n\r\n");
    EXPECT_EQ(bt::DisguiseReply(3), "HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n");
    EXPECT_EQ(bt::DisguiseReply(4), "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Encoding: none\r\n\r\n");

    struct Case {
        std::string bytes;
        bt::Preamble result;
        size_t length;
    };
    const std::vector<Case> cases = {
        {"GET / HTTP/1.0\r\nHost: 1:1\r\n\r\n\x13" "Bit", bt::Preamble::kFound, 29},
        {"POST /x\n\nrest", bt::Preamble::kFound, 9},
        {"HTTP/1.0 200 OK\r\n", bt::Preamble::kNeedMore, 0},
        {"GE", bt::Preamble::kNeedMore, 0},
        {"\x13" "BitTorrent protocol", bt::Preamble::kNone, 0},
        {"GET " + std::string(5000, 'a'), bt::Preamble::kInvalid, 0},
    };
    for (const Case& c : cases) {
        size_t length = 99;
        EXPECT_EQ(bt::FindPreamble(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), &length),
                  c.result)
            << c.bytes.substr(0, 20);
        EXPECT_EQ(length, c.length);
    }
}

// --- a peer against the scripted remote ---------------------------------------------------

class BtPeerTest : public ::testing::Test {
protected:
    BtPeerTest() : task_(Content(kSize), kPiece), remote_("127.0.4.2") {
        remote_.content = task_.content;
        remote_.piece_length = kPiece;
        remote_.reply_handshake = HandshakeText(test::MakeHandshake(0xAB, 0x22));
        // We already hold piece 0, so the remote can ask us for it.
        std::fill(task_.present[0].begin(), task_.present[0].end(), true);
        task_.received_bytes.replace(0, kPiece, task_.content.substr(0, kPiece));
    }
    ~BtPeerTest() override {
        if (peer_) peer_->Reset();
    }

    SocketEnv Env() {
        SocketEnv env;
        env.clock = &task_.fake_clock;
        env.seconds = [this] { return task_.EngineSeconds(); };
        return env;
    }
    RefPtr<TPeerId> Identity() {
        auto id = RefPtr<TPeerId>::Adopt(new TPeerId("btnode://127.0.4.2"));
        id->kind = kKindNode;
        id->address = remote_.address();
        id->port = remote_.port();
        id->parsed = true;
        return id;
    }
    void Connect() {
        identity_ = Identity();
        peer_ = RefPtr<TBTPeer>::Adopt(new TBTPeer(task_, task_, Env()));
        ASSERT_TRUE(peer_->AttachIdentity(identity_.get()));
    }
    // Passes of the peer and pumps of the remote, 5 ms of clock apart, until
    // `done` holds, the peer's pass fails, or `passes` ran. True when `done` held.
    bool Drive(const std::function<bool()>& done, int passes = 2000) {
        for (int i = 0; i < passes; ++i) {
            if (done()) return true;
            passes_ok_ = peer_->DownloadPass() && peer_->UploadPass();
            remote_.Pump();
            if (!passes_ok_) return done();
            task_.fake_clock.Advance(5);
            if (i % 64 == 63) ::usleep(200);
        }
        return done();
    }
    std::string Honest() { return Msg(bt::kBitfield, AllBits(task_.piece_count)) + Msg(bt::kUnchoke); }

    FakeBtTask task_;
    ScriptedRemote remote_;
    RefPtr<TPeerId> identity_;
    RefPtr<TBTPeer> peer_;
    bool passes_ok_ = true;
};

TEST_F(BtPeerTest, DownloadsEveryPieceFromAnHonestRemote) {
    remote_.after_handshake = Honest();
    remote_.serve = true;
    Connect();
    ASSERT_TRUE(Drive([&] { return task_.ReceivedAll(); }));
    EXPECT_TRUE(passes_ok_);
    EXPECT_EQ(task_.out_of_bounds, 0);
    EXPECT_EQ(task_.kind_bytes[0], static_cast<int64_t>(kSize - kPiece));
    // Our side: the handshake as built, our bitfield (piece 0), interested and unchoke.
    EXPECT_EQ(remote_.handshake, HandshakeText(task_.handshake));
    EXPECT_TRUE(remote_.preamble.empty());
    ASSERT_GE(remote_.messages.size(), 3u);
    EXPECT_EQ(remote_.messages[0].id, bt::kBitfield);
    EXPECT_EQ(remote_.messages[0].payload, std::string(1, '\x80'));
    EXPECT_EQ(remote_.messages[1].id, bt::kInterested);
    EXPECT_EQ(remote_.messages[2].id, bt::kUnchoke);
    EXPECT_EQ(peer_->remote_peer_id()[0], 0x22);
    EXPECT_TRUE(peer_->IsSeed());
}

// The hostile remotes: each case ends the connection or is skipped, and a
// case that is skipped still completes the download from the same remote.
TEST_F(BtPeerTest, HostileRemotes) {
    const int32_t pieces = 4;
    struct Case {
        const char* name;
        std::string after_handshake;  // sent after the remote's handshake (before the honest part)
        std::vector<std::string> answers;  // sent instead of the first honest blocks
        bool ends;
        bool counts_error;
        bool replaces_bitfield = false;
    };
    const std::string bits = Msg(bt::kBitfield, AllBits(pieces));
    std::string flood;
    for (int i = 0; i < 20000; ++i) flood += Msg(bt::kHave, U32(static_cast<uint32_t>(i % pieces)));
    std::string bad_requests;  // more than the malformed messages a connection tolerates
    for (uint32_t i = 0; i <= TBTPeer::kMaxErrors; ++i) bad_requests += Ref(bt::kRequest, 4 + i, 0, 16384);
    const std::vector<Case> cases = {
        {"oversized length", U32(524289) + "\x07" + std::string(16, 'x'), {}, true, false},
        {"bitfield one byte long", Msg(bt::kBitfield, AllBits(pieces) + "x"), {}, true, false, true},
        {"bitfield too short", Msg(bt::kBitfield, ""), {}, true, false, true},
        {"garbage after the handshake", "\xff\xfe\xfd\xfc garbage that is no message", {}, true, false},
        {"have beyond the torrent", Msg(bt::kHave, U32(4)) + Msg(bt::kHave, U32(0xFFFFFFFF)), {}, false, true},
        {"have of five bytes", Msg(bt::kHave, U32(1) + "x"), {}, false, true},
        {"request beyond the torrent", Ref(bt::kRequest, 4, 0, 16384) + Ref(bt::kRequest, 0x80000000u, 0, 16), {},
         false, true},
        {"requests beyond the torrent without end", bad_requests, {}, true, false},
        {"request past the piece end", Ref(bt::kRequest, 0, kPiece - 100, 200) + Ref(bt::kRequest, 0, 0xFFFFFFF0u, 32),
         {}, false, true},
        {"zero-length and 1 MiB requests", Ref(bt::kRequest, 0, 0, 0) + Ref(bt::kRequest, 0, 0, 1 << 20), {}, false,
         true},
        {"request of eleven bytes", Msg(bt::kRequest, U32(0) + U32(0) + "abc"), {}, false, true},
        {"unrequested block", PieceMsg(2, 0, std::string(kBlockSize, 'u')), {}, false, false},
        {"piece message of eight bytes", Msg(bt::kPiece, U32(1) + U32(0)), {}, false, true},
        {"cannot-read reply", Msg(bt::kPiece, U32(0) + U32(2) + "\x35" + U32(1)), {}, false, false},
        {"other message ids", Msg(9, "abc") + Msg(20, "dictionary") + U32(0), {}, false, false},
        {"flood of haves", flood, {}, false, false},
        {"wrong-length block", "", {PieceMsg(1, 0, "short block")}, false, true},
        {"block at an unaligned offset", "", {PieceMsg(1, 5, std::string(kBlockSize, 'z'))}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBtTask task(Content(kSize), kPiece);
        std::fill(task.present[0].begin(), task.present[0].end(), true);
        task.received_bytes.replace(0, kPiece, task.content.substr(0, kPiece));
        ScriptedRemote remote("127.0.4.3");
        remote.content = task.content;
        remote.piece_length = kPiece;
        remote.reply_handshake = HandshakeText(test::MakeHandshake(0xAB, 0x33));
        remote.serve = true;
        remote.hostile_answers = c.answers;
        // The honest bitfield comes first unless the case replaces it.
        remote.after_handshake = (c.replaces_bitfield ? c.after_handshake : bits + c.after_handshake) + Msg(bt::kUnchoke);
        SocketEnv env;
        env.clock = &task.fake_clock;
        env.seconds = [&task] { return task.EngineSeconds(); };
        auto id = RefPtr<TPeerId>::Adopt(new TPeerId("btnode://127.0.4.3"));
        id->kind = kKindNode;
        id->address = remote.address();
        id->port = remote.port();
        id->parsed = true;
        auto peer = RefPtr<TBTPeer>::Adopt(new TBTPeer(task, task, env));
        ASSERT_TRUE(peer->AttachIdentity(id.get()));
        bool ok = true;
        for (int i = 0; i < 4000 && ok && !task.ReceivedAll(); ++i) {
            ok = peer->DownloadPass() && peer->UploadPass();
            remote.Pump();
            task.fake_clock.Advance(5);
            if (i % 64 == 63) ::usleep(200);
        }
        EXPECT_EQ(task.out_of_bounds, 0);
        EXPECT_EQ(ok, !c.ends);
        if (!c.ends) {
            EXPECT_TRUE(task.ReceivedAll());
            if (c.counts_error) {
                EXPECT_GT(peer->errors(), 0);
            }
            // Nothing beyond piece 0 (the one we hold) was ever read for an upload.
            EXPECT_LE(task.reads, 1);
        }
        peer->Reset();
    }
}

TEST_F(BtPeerTest, WrongInfoHashAndOurOwnPeerIdEndTheConnection) {
    for (const BtHandshake& reply : {test::MakeHandshake(0xCD, 0x22), task_.handshake}) {
        remote_.reply_handshake = HandshakeText(reply);
        remote_.after_handshake = Honest();
        Connect();
        EXPECT_FALSE(Drive([&] { return false; }, 200));
        EXPECT_FALSE(passes_ok_);
        EXPECT_EQ(task_.connected, 0);
        peer_->Reset();
        remote_.CloseForGood();
        remote_.Reopen();
    }
}

// A burst far larger than one read (4 MiB of keep-alives ahead of the blocks)
// is parsed read by read: the receive buffer stays near one read instead of
// growing with everything the socket holds, and the download completes.
TEST_F(BtPeerTest, ABurstIsParsedReadByReadWithinABoundedBuffer) {
    remote_.after_handshake = Honest() + std::string(4 << 20, '\0');
    remote_.serve = true;
    Connect();
    int64_t largest = 0;
    ASSERT_TRUE(Drive([&] {
        if (peer_->socket()) largest = std::max(largest, peer_->socket()->receive_capacity());
        return task_.ReceivedAll();
    }));
    EXPECT_TRUE(passes_ok_);
    EXPECT_EQ(task_.out_of_bounds, 0);
    EXPECT_LE(largest, 2 * TBTPeer::kReadChunk + 64 * 1024);
}

TEST_F(BtPeerTest, CorruptPieceCountsAgainstTheRemoteAndEndsTheConnection) {
    remote_.after_handshake = Honest();
    remote_.serve = true;
    // The first block of piece 1 comes altered.
    remote_.content[kPiece + 10] ^= 0x55;
    Connect();
    EXPECT_FALSE(Drive([&] { return !task_.failed_pieces.empty() && !passes_ok_; }, 3000) && passes_ok_);
    EXPECT_FALSE(passes_ok_);
    ASSERT_FALSE(task_.failed_pieces.empty());
    EXPECT_EQ(task_.failed_pieces[0], 1);
    EXPECT_GT(peer_->errors(), 0);
}

TEST_F(BtPeerTest, ServesValidRequestsOnlyAndNothingWhileChoking) {
    remote_.after_handshake = Msg(bt::kBitfield, std::string(1, '\0')) + Msg(bt::kInterested) +
                              Ref(bt::kRequest, 0, 100, 1000) + Ref(bt::kRequest, 0, 100, 1000) +  // a duplicate
                              Ref(bt::kRequest, 1, 0, 16384) +  // a piece we do not hold
                              Ref(bt::kRequest, 0, 16384, 16384);
    Connect();
    ASSERT_TRUE(Drive([&] { return remote_.Count(bt::kPiece) >= 2; }));
    Drive([&] { return false; }, 50);
    ASSERT_EQ(remote_.Count(bt::kPiece), 2);
    const std::string expected_first = U32(0) + U32(100) + task_.content.substr(100, 1000);
    std::vector<std::string> blocks;
    for (const auto& m : remote_.messages)
        if (m.id == bt::kPiece) blocks.push_back(m.payload);
    EXPECT_EQ(blocks[0], expected_first);
    EXPECT_EQ(blocks[1], U32(0) + U32(16384) + task_.content.substr(16384, 16384));
    EXPECT_EQ(task_.uploaded, 1000 + 16384);

    // While we choke the remote its requests are not queued.
    peer_->Choke();
    remote_.Send(Ref(bt::kRequest, 0, 0, 16384));
    Drive([&] { return false; }, 50);
    EXPECT_EQ(remote_.Count(bt::kPiece), 2);
    EXPECT_EQ(remote_.Count(bt::kChoke), 1);

    // A block we cannot read sends nothing and drops the remote's requests for that piece.
    peer_->Unchoke();
    task_.unreadable.insert(0);
    remote_.Send(Ref(bt::kRequest, 0, 0, 16384) + Ref(bt::kRequest, 0, 16384, 16384));
    EXPECT_TRUE(Drive([&] { return peer_->queued_remote_requests() == 0 && task_.reads >= 3; }, 200));
    Drive([&] { return false; }, 20);
    EXPECT_EQ(remote_.Count(bt::kPiece), 2);
    EXPECT_TRUE(passes_ok_);
}

TEST_F(BtPeerTest, PreambleGoesFirstAndIsDroppedAfterARemoteClosesOnIt) {
    task_.http_wrap = true;
    const std::string handshake = remote_.reply_handshake;
    remote_.reply_handshake.clear();
    // A standard client: it closes the connection on the preamble.
    Connect();
    for (int i = 0; i < 200 && remote_.preamble.empty() && !remote_.got_handshake; ++i) {
        peer_->DownloadPass();
        remote_.Pump();
        task_.fake_clock.Advance(5);
    }
    ASSERT_TRUE(remote_.got_handshake);
    EXPECT_EQ(remote_.preamble.rfind("GET / HTTP/1.0\r\n", 0), 0u);
    EXPECT_TRUE(peer_->disguised());
    EXPECT_FALSE(identity_->refuses_preamble);
    remote_.CloseForGood();
    EXPECT_FALSE(Drive([&] { return false; }, 100));
    EXPECT_TRUE(identity_->refuses_preamble);
    peer_->Reset();

    // The next attempt to that identity goes without the preamble and works.
    remote_.Reopen();
    remote_.serve = true;
    remote_.reply_handshake = handshake;
    remote_.after_handshake = Honest();
    ASSERT_TRUE(peer_->AttachIdentity(identity_.get()));
    ASSERT_TRUE(Drive([&] { return task_.ReceivedAll(); }));
    EXPECT_TRUE(remote_.preamble.empty());
    EXPECT_FALSE(peer_->disguised());
}

// The malformed messages a connection tolerates are counted per connection:
// a peer object that served a remote with many of them and goes back to the
// pool starts its next connection with a clean count.
TEST_F(BtPeerTest, MalformedMessagesAreCountedPerConnection) {
    std::string bad_haves;
    for (int i = 0; i < 60; ++i) bad_haves += Msg(bt::kHave, U32(4));  // beyond the four pieces
    remote_.after_handshake = Msg(bt::kBitfield, AllBits(task_.piece_count)) + bad_haves;
    Connect();
    ASSERT_TRUE(Drive([&] { return peer_->errors() >= 60; }));
    peer_->Reset();
    remote_.CloseForGood();

    // The same object, another connection with a few malformed messages of its own.
    remote_.Reopen();
    remote_.serve = true;
    remote_.after_handshake = Honest() + bad_haves.substr(0, 10 * 9);
    ASSERT_TRUE(peer_->AttachIdentity(identity_.get()));
    EXPECT_TRUE(Drive([&] { return task_.ReceivedAll(); }));
    EXPECT_TRUE(passes_ok_);
    EXPECT_EQ(peer_->errors(), 10);
}

TEST_F(BtPeerTest, KeepAliveAfterNinetySilentSeconds) {
    remote_.after_handshake = Msg(bt::kBitfield, std::string(1, '\0'));
    Connect();
    ASSERT_TRUE(Drive([&] { return remote_.Count(bt::kUnchoke) == 1; }));
    const int before = remote_.Count(255);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(peer_->DownloadPass());
        remote_.Pump();
        task_.fake_clock.Advance(1000);
    }
    EXPECT_GE(remote_.Count(255), before + 1);
    EXPECT_LE(remote_.Count(255), before + 2);
}

TEST_F(BtPeerTest, TwoPeersExchangeDataWithThePreambleOn) {
    // Our outgoing peer (preamble on) against one of our peers on an accepted socket.
    FakeBtTask seeder_task(task_.content, kPiece);
    seeder_task.HaveAll();
    seeder_task.handshake = test::MakeHandshake(0xAB, 0x44);
    task_.http_wrap = true;

    TSocket listener(Env());
    uint32_t address = 0;
    ::inet_pton(AF_INET, "127.0.4.4", &address);
    ASSERT_TRUE(listener.Listen(test::FreePort("127.0.4.4"), address));
    auto id = RefPtr<TPeerId>::Adopt(new TPeerId("btnode://127.0.4.4"));
    id->kind = kKindNode;
    id->address = address;
    id->port = listener.local_port();
    id->parsed = true;
    identity_ = id;
    peer_ = RefPtr<TBTPeer>::Adopt(new TBTPeer(task_, task_, Env()));
    ASSERT_TRUE(peer_->AttachIdentity(id.get()));

    SocketEnv seeder_env;
    seeder_env.clock = &seeder_task.fake_clock;
    seeder_env.seconds = [&] { return seeder_task.EngineSeconds(); };
    auto seeder = RefPtr<TBTPeer>::Adopt(new TBTPeer(seeder_task, seeder_task, seeder_env));
    bool accepted = false;
    for (int i = 0; i < 4000 && !task_.ReceivedAll(); ++i) {
        if (!accepted) {
            listener.WaitReadable(0);
            if (std::unique_ptr<TSocket> s = listener.Accept()) accepted = seeder->AttachSocket(std::move(s));
        }
        ASSERT_TRUE(peer_->DownloadPass() && peer_->UploadPass());
        if (accepted) {
            ASSERT_TRUE(seeder->DownloadPass() && seeder->UploadPass());
        }
        task_.fake_clock.Advance(5);
        seeder_task.fake_clock.Advance(5);
        if (i % 64 == 63) ::usleep(200);
    }
    EXPECT_TRUE(task_.ReceivedAll());
    EXPECT_TRUE(peer_->disguised());
    EXPECT_TRUE(seeder->wrapped());
    EXPECT_EQ(seeder_task.uploaded, static_cast<int64_t>(kSize - kPiece));
    seeder->Reset();
}

}  // namespace
}  // namespace zl
