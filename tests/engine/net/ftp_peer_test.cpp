// The FTP source peer driven pass by pass against a real vsftpd on loopback
// (a file in a folder and one at the root), and a scripted server for what
// vsftpd will not do: multi-line greetings, 230 straight after "user", a
// PASV reply with five numbers or another host's address, and a data
// connection cut in the middle of a transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "engine/net/ftp_peer.h"
#include "tests/engine/net/server_peer_test_support.h"

namespace zl {
namespace {

using test::kVsftpd;
constexpr int64_t kPiece = 32768;
constexpr int64_t kSize = 300000;

RefPtr<TFtpPeer> MakePeer(test::RecordingTask& task) {
    return RefPtr<TFtpPeer>::Adopt(new TFtpPeer(task, test::PeerEnv()));
}

// Runs a peer over `url` until it ends; the task holds `size` bytes in pieces of kPiece.
struct Download {
    Download(const std::string& url, int64_t size) : task(size, kPiece), identity(test::ParsedIdentity(url)) {
        peer = MakePeer(task);
        attached = peer->AttachIdentity(identity.get());
        if (attached) test::RunPasses(*peer, &failed);
    }
    test::RecordingTask task;
    RefPtr<TPeerId> identity;
    RefPtr<TFtpPeer> peer;
    bool attached = false;
    bool failed = false;
};

class FtpPeerVsftpd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveProgram(kVsftpd)) GTEST_SKIP() << "vsftpd is not installed";
        content_ = test::TestContent(kSize);
        test::WriteFile(folder_ / "ftp/pub/a.bin", content_);
        test::WriteFile(folder_ / "ftp/b.bin", content_.substr(0, 40000));
        chmod((folder_ / "ftp").c_str(), 0755);
        chmod((folder_ / "ftp/pub").c_str(), 0755);
        address_ = test::TestAddress();
        port_ = test::FreePort(address_);
        server_ = test::StartVsftpd(folder_, address_, port_, "no_anon_password=NO\nftpd_banner=Peer test server\n");
        ASSERT_TRUE(server_) << "vsftpd did not start; see " << folder_ / "vsftpd.log";
    }

    std::string Url(const std::string& path) const {
        return "ftp://" + address_ + ":" + std::to_string(port_) + path;
    }

    test::ServedDir folder_;
    std::string address_;
    uint16_t port_ = 0;
    std::string content_;
    std::optional<test::TestServer> server_;
};

TEST_F(FtpPeerVsftpd, FilesInAFolderAndAtTheRootArriveWhole) {
    struct Case {
        const char* path;
        int64_t size;
    };
    for (const Case& c : {Case{"/pub/a.bin", kSize}, Case{"/b.bin", 40000}}) {
        SCOPED_TRACE(c.path);
        Download d(Url(c.path), c.size);
        ASSERT_TRUE(d.attached);
        EXPECT_TRUE(d.failed) << "a server peer ends when nothing is left";
        EXPECT_EQ(d.peer->activity(), kActivityFinished);
        EXPECT_TRUE(d.task.IsComplete());
        EXPECT_TRUE(d.task.EveryBlockOnce());
        EXPECT_TRUE(d.task.image == content_.substr(0, static_cast<size_t>(c.size)));
        EXPECT_EQ(d.identity->Source().content_length, c.size);
        EXPECT_TRUE(d.task.penalties.empty());
        EXPECT_FALSE(d.peer->saw_5xx());
    }
}

TEST_F(FtpPeerVsftpd, StartsAtTheFirstWantedBlockAndRejectsAWrongSize) {
    {
        test::RecordingTask task(kSize, kPiece);
        task.HavePieces(0, 5);  // the transfer starts with "rest 196608"
        auto identity = test::ParsedIdentity(Url("/pub/a.bin"));
        auto peer = MakePeer(task);
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);
        EXPECT_TRUE(task.IsComplete());
        EXPECT_TRUE(task.EveryBlockOnce(6 * kPiece));
        EXPECT_TRUE(task.image.substr(6 * kPiece) == content_.substr(6 * kPiece));
    }
    {
        test::RecordingTask task(kSize + 1, kPiece);  // the server's file is one byte shorter
        auto identity = test::ParsedIdentity(Url("/pub/a.bin"));
        auto peer = MakePeer(task);
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);
        EXPECT_TRUE(failed);
        EXPECT_TRUE(task.deliveries.empty());
        ASSERT_EQ(task.penalties.size(), 1u);
        EXPECT_EQ(task.penalties[0].passes, TFtpPeer::kServerPenalty);
    }
}

TEST_F(FtpPeerVsftpd, DataIsReceivedInPlaceWhereTheTaskOffersMemory) {
    for (int32_t offer_every : {1, 2}) {
        SCOPED_TRACE(offer_every);
        test::InPlaceTask task(kSize, kPiece, offer_every);
        auto identity = test::ParsedIdentity(Url("/pub/a.bin"));
        auto peer = RefPtr<TFtpPeer>::Adopt(new TFtpPeer(task, test::PeerEnv()));
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);
        test::ExpectFilledInPlace(task, content_, offer_every);
    }
}

TEST_F(FtpPeerVsftpd, MissingFileIsAServerErrorThatRestsTheSource) {
    Download d(Url("/pub/missing.bin"), kSize);
    ASSERT_TRUE(d.attached);
    EXPECT_TRUE(d.failed);
    EXPECT_TRUE(d.peer->saw_5xx());
    ASSERT_EQ(d.task.penalties.size(), 1u);
    EXPECT_TRUE(d.task.penalties[0].keep);
    EXPECT_EQ(d.task.penalties[0].passes, TFtpPeer::kServerPenalty);
}

TEST_F(FtpPeerVsftpd, WholeContentCollectsTheFile) {
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity(Url("/b.bin"));
    identity->Source().whole_content = true;
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    bool failed = false;
    test::RunPasses(*peer, &failed);
    EXPECT_TRUE(failed);
    EXPECT_EQ(peer->activity(), kActivityFinished);
    EXPECT_TRUE(identity->Source().content_complete);
    EXPECT_TRUE(identity->Source().content == content_.substr(0, 40000));
    EXPECT_TRUE(task.deliveries.empty());
    EXPECT_TRUE(task.penalties.empty());
}

// A scripted FTP server; its behaviour is set by the constants replaced at the top.
constexpr const char* kScriptedFtp = R"PY(
import os, socket, sys, threading
GREETING = @GREETING@
USER_REPLY = @USER_REPLY@
PASV_FIVE = @PASV_FIVE@
DROP_AFTER = @DROP_AFTER@
SIZE = @SIZE@
SHORT = @SHORT@
here = os.path.dirname(os.path.abspath(__file__))
data = open(os.path.join(here, 'file.bin'), 'rb').read()
log = open(os.path.join(here, 'commands.log'), 'a', buffering=1)
address = sys.argv[1]
transfers = [0]
def serve(c):
    f = c.makefile('rb')
    send = lambda text: c.sendall(text.encode())
    send(''.join(line + '\r\n' for line in GREETING))
    offset, listener = 0, None
    while True:
        line = f.readline()
        if not line:
            break
        command = line.decode().rstrip('\r\n')
        log.write(command + '\n')
        verb, _, arg = command.partition(' ')
        if verb == 'user': send(USER_REPLY + '\r\n')
        elif verb == 'pass': send('230 Logged in\r\n')
        elif verb == 'cwd': send('250 Okay\r\n')
        elif verb == 'size': send('213 %d\r\n' % (SIZE or len(data)))
        elif verb == 'type': send('200 Binary\r\n')
        elif verb == 'pasv':
            listener = socket.socket()
            listener.bind((address, 0))
            listener.listen(1)
            port = listener.getsockname()[1]
            if PASV_FIVE: send('227 Entering Passive Mode (127,0,0,%d,%d)\r\n' % (port >> 8, port & 255))
            else: send('227 Entering Passive Mode (10,9,8,7,%d,%d).\r\n' % (port >> 8, port & 255))
        elif verb == 'rest':
            offset = int(arg)
            send('350 Restarting\r\n')
        elif verb == 'retr':
            send('150 Sending\r\n')
            d, _ = listener.accept()
            listener.close()
            transfers[0] += 1
            cut = SHORT >= 0 or (DROP_AFTER and transfers[0] == 1)
            chunk = data[offset:offset + SHORT] if SHORT >= 0 else data[offset:offset + DROP_AFTER] if cut else data[offset:]
            try:
                d.sendall(chunk)
            except OSError:
                pass
            d.close()
            send('426 Connection closed\r\n' if cut else '226 Done\r\n')
        else: send('502 Not here\r\n')
    c.close()
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((address, int(sys.argv[2])))
s.listen(8)
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
)PY";

struct ScriptOptions {
    std::string greeting = "['220 Ready']";
    std::string user_reply = "'331 Password please'";
    bool pasv_five = false;
    int drop_after = 0;  // bytes of the first transfer before its data connection is cut
    int64_t size = 0;    // the size "size" answers, 0: the file's
    int short_transfers = -1;  // bytes of every transfer before it ends with 426, -1 all
};

class FtpPeerScripted : public ::testing::Test {
protected:
    void Start(const ScriptOptions& options) {
        content_ = test::TestContent(kSize);
        test::WriteFile(folder_ / "file.bin", content_);
        std::string script = kScriptedFtp;
        auto replace = [&](const std::string& key, const std::string& value) {
            script.replace(script.find(key), key.size(), value);
        };
        replace("@GREETING@", options.greeting);
        replace("@USER_REPLY@", options.user_reply);
        replace("@PASV_FIVE@", options.pasv_five ? "True" : "False");
        replace("@DROP_AFTER@", std::to_string(options.drop_after));
        replace("@SIZE@", std::to_string(options.size));
        replace("@SHORT@", std::to_string(options.short_transfers));
        server_ = std::make_unique<test::ScriptedServer>(folder_, "ftp", script);
        ASSERT_TRUE(server_->listening);
    }
    std::string Url(const std::string& path) const {
        return "ftp://" + server_->address + ":" + std::to_string(server_->port) + path;
    }
    // The commands the server received, one per line.
    std::vector<std::string> Commands() const {
        std::ifstream in(folder_ / "commands.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    test::ServedDir folder_;
    std::string content_;
    std::unique_ptr<test::ScriptedServer> server_;
};

TEST_F(FtpPeerScripted, LowerCaseCommandsAndDataFromTheControlHostOnly) {
    Start({});
    Download d(Url("/pub/file.bin"), kSize);
    ASSERT_TRUE(d.attached);
    EXPECT_TRUE(d.task.IsComplete()) << "the PASV reply names 10.9.8.7; only its port is used";
    EXPECT_TRUE(d.task.EveryBlockOnce());
    EXPECT_TRUE(d.task.image == content_);
    const std::vector<std::string> expected = {"user anonymous", "pass zephyrloader@example.com", "cwd /pub",
                                               "size file.bin",  "type i",  "pasv", "rest 0", "retr /pub/file.bin"};
    EXPECT_EQ(Commands(), expected);
}

TEST_F(FtpPeerScripted, MultiLineGreetingAndNoPasswordStep) {
    ScriptOptions options;
    options.greeting = "['220-Welcome', '220-to the scripted server', '220 Ready']";
    options.user_reply = "'230 No password needed'";
    Start(options);
    Download d(Url("/file.bin"), kSize);
    ASSERT_TRUE(d.attached);
    EXPECT_TRUE(d.task.IsComplete());
    EXPECT_TRUE(d.task.image == content_);
    const std::vector<std::string> expected = {"user anonymous", "cwd /", "size file.bin", "type i",
                                               "pasv", "rest 0", "retr /file.bin"};
    EXPECT_EQ(Commands(), expected);
}

TEST_F(FtpPeerScripted, PasvWithFiveNumbersEndsThePeer) {
    ScriptOptions options;
    options.pasv_five = true;
    Start(options);
    Download d(Url("/file.bin"), kSize);
    ASSERT_TRUE(d.attached);
    EXPECT_TRUE(d.failed);
    EXPECT_TRUE(d.task.deliveries.empty());
    EXPECT_TRUE(d.task.penalties.empty()) << "not a server error";
    EXPECT_EQ(Commands().back(), "pasv");
}

TEST_F(FtpPeerScripted, JumpOfTheTasksReaderStartsANewTransferThere) {
    Start({});
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity(Url("/file.bin"));
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (task.deliveries.empty() && std::chrono::steady_clock::now() < deadline) ASSERT_TRUE(peer->DownloadPass());
    ASSERT_LE(task.deliveries.size(), 6u);
    task.position = 8;  // the reader now wants piece 8 onwards, far ahead of the data stream
    bool failed = false;
    test::RunPasses(*peer, &failed);
    EXPECT_TRUE(task.IsComplete());
    EXPECT_TRUE(task.EveryBlockOnce());
    EXPECT_TRUE(task.image == content_);
    const std::vector<std::string> commands = Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "rest 262144"), commands.end());
}

TEST_F(FtpPeerScripted, CutDataConnectionRestartsAtTheFirstMissingBlock) {
    ScriptOptions options;
    options.drop_after = 50000;  // three whole blocks and a part of the fourth
    Start(options);
    Download d(Url("/file.bin"), kSize);
    ASSERT_TRUE(d.attached);
    EXPECT_TRUE(d.task.IsComplete());
    EXPECT_TRUE(d.task.EveryBlockOnce());
    EXPECT_TRUE(d.task.image == content_);
    const std::vector<std::string> commands = Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "rest 49152"), commands.end());
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "pasv"), 2);
}

// Every reply keeps the control connection alive, so a server that ends each
// transfer early (a quota, "426") would be asked again for ever: after a few
// transfers without a whole block the source is rested.
TEST_F(FtpPeerScripted, TransfersWithoutABlockRestTheSource) {
    for (int bytes : {0, 100}) {
        SCOPED_TRACE(bytes);
        ScriptOptions options;
        options.short_transfers = bytes;
        Start(options);
        Download d(Url("/file.bin"), kSize);
        ASSERT_TRUE(d.attached);
        EXPECT_TRUE(d.failed);
        EXPECT_TRUE(d.task.deliveries.empty());
        ASSERT_EQ(d.task.penalties.size(), 1u);
        EXPECT_TRUE(d.task.penalties[0].keep);
        EXPECT_EQ(d.task.penalties[0].passes, TFtpPeer::kServerPenalty);
        const std::vector<std::string> commands = Commands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "retr /file.bin"), TFtpPeer::kMaxEmptyTransfers);
        server_.reset();
        std::filesystem::remove(folder_ / "commands.log");
    }
}

// A body kept in memory has a fixed bound whatever size the server names:
// beyond it nothing is collected.
TEST_F(FtpPeerScripted, WholeContentLargerThanTheMemoryBoundIsRefused) {
    ScriptOptions options;
    options.size = 3000000000;
    Start(options);
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity(Url("/file.bin"));
    identity->Source().whole_content = true;
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    bool failed = false;
    test::RunPasses(*peer, &failed);
    EXPECT_TRUE(failed);
    EXPECT_FALSE(identity->Source().content_complete);
    EXPECT_TRUE(identity->Source().content.empty());
}

// Command steps allow 30 s of silence on the task's clock.
TEST(FtpPeer, SilentServerTimesOutOnTheTaskClock) {
    test::ServedDir folder;
    test::ScriptedServer server(folder, "silent", test::kSilentServerScript);
    ASSERT_TRUE(server.listening);
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity("ftp://" + server.address + ":" + std::to_string(server.port) + "/a.bin");
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(peer->DownloadPass());
    task.fake_clock.Advance(30000);
    EXPECT_TRUE(peer->DownloadPass());
    task.fake_clock.Advance(1000);
    EXPECT_FALSE(peer->DownloadPass());
    EXPECT_EQ(peer->activity(), kActivityTimedOut);
    ASSERT_EQ(task.penalties.size(), 1u);
    EXPECT_EQ(task.penalties[0].passes, TFtpPeer::kTimeoutPenalty);
}

}  // namespace
}  // namespace zl
