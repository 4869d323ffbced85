// The FTP codec against a real vsftpd on loopback: a multi-line greeting,
// anonymous login with and without a password step, size, a transfer from
// an offset, and a transfer cut short by closing the data connection.
#include <gtest/gtest.h>

#include <functional>

#include "engine/net/ftp_reply.h"
#include "engine/net/ftp_session.h"
#include "tests/engine/net/http_ftp_test_support.h"

namespace zl {
namespace {

using test::kVsftpd;

// Drives an FtpSession over a real control connection.
class FtpDriver {
public:
    FtpDriver(test::TestConnection control, FtpSessionConfig config, std::string address)
        : control_(std::move(control)), session_(std::move(config)), address_(std::move(address)) {}

    // Runs until the session reaches `until` in phase kQueue, a transfer
    // ends, or something fails. `read_limit`: bytes of data read before the
    // data connection is closed (0: to the end).
    FtpEvent RunTransfer(int64_t offset, size_t read_limit = 0) {
        for (int guard = 0; guard < 50; ++guard) {
            if (auto command = session_.TakeCommand(true)) Send(*command);
            FtpReply reply;
            if (!NextReply(reply)) return FtpEvent::kFail;
            replies.push_back(reply.code);
            if (reply_texts.empty()) reply_texts.push_back(reply.text);
            FtpOutcome outcome = session_.OnReply(reply);
            if (outcome.content_length >= 0) content_length = outcome.content_length;
            switch (outcome.event) {
                case FtpEvent::kConnectData: {
                    data_ = test::TestConnection::Open(address_, outcome.data_port);
                    if (!data_) return FtpEvent::kFail;
                    FtpOutcome rest = session_.OnDataConnected(offset);
                    Send(rest.command);
                    break;
                }
                case FtpEvent::kCommandQueued: Send(outcome.command); break;
                case FtpEvent::kTransferStarted: {
                    received.clear();
                    while (read_limit == 0 || received.size() < read_limit) {
                        std::string part = data_->Receive(65536);
                        if (part.empty()) break;
                        received += part;
                    }
                    data_.reset();  // end of file, or cut short
                    if (!session_.OnTransferClosed()) return FtpEvent::kFail;
                    break;
                }
                case FtpEvent::kTransferEnded: return FtpEvent::kTransferEnded;
                case FtpEvent::kFail: return FtpEvent::kFail;
                default: break;
            }
        }
        return FtpEvent::kFail;
    }

    std::vector<std::string> commands;
    std::vector<int> replies;
    std::vector<std::string> reply_texts;  // the greeting's
    std::string received;
    int64_t content_length = -1;
    FtpSession& session() { return session_; }

private:
    void Send(const std::string& command) {
        commands.push_back(command.substr(0, command.size() - 2));
        ASSERT_TRUE(control_.Send(command));
        session_.OnCommandFlushed();
    }

    bool NextReply(FtpReply& reply) {
        for (;;) {
            if (!pending_.empty()) {
                size_t consumed = 0;
                FtpReplyReader::Status status = reader_.Feed(pending_, consumed);
                pending_.erase(0, consumed);
                if (status == FtpReplyReader::Status::kError) return false;
                if (status == FtpReplyReader::Status::kReply) {
                    reply = reader_.reply();
                    return true;
                }
            }
            std::string data = control_.Receive();
            if (data.empty()) return false;
            pending_ += data;
        }
    }

    test::TestConnection control_;
    FtpSession session_;
    std::string address_;
    FtpReplyReader reader_;
    std::string pending_;
    std::optional<test::TestConnection> data_;
};

class FtpCodecVsftpd : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!test::HaveProgram(kVsftpd)) GTEST_SKIP() << "vsftpd is not installed";
        content_ = test::TestContent(300000);
        test::WriteFile(folder_ / "ftp/pub/a.bin", content_);
        test::WriteFile(folder_ / "ftp/b.bin", content_.substr(0, 1000));
        chmod((folder_ / "ftp").c_str(), 0755);
        chmod((folder_ / "ftp/pub").c_str(), 0755);
        test::WriteFile(folder_ / "banner.txt", "Codec test server\nsecond banner line\n");
        address_ = test::TestAddress();
        port_ = test::FreePort(address_);
        server_ = test::StartVsftpd(folder_, address_, port_,
                                    "no_anon_password=" + std::string(GetParam() ? "YES" : "NO") + "\n"
                                    "banner_file=" + folder_ / "banner.txt" + "\n");
        ASSERT_TRUE(server_) << "vsftpd did not start; see " << folder_ / "vsftpd.log";
    }

    FtpDriver Connect(const std::string& path, const std::string& name) {
        auto control = test::TestConnection::Open(address_, port_);
        EXPECT_TRUE(control);
        return FtpDriver(std::move(*control), FtpSessionConfig{"", "", path, name, false}, address_);
    }

    test::ServedDir folder_;
    std::string address_;
    uint16_t port_ = 0;
    std::string content_;
    std::optional<test::TestServer> server_;
};

TEST_P(FtpCodecVsftpd, LoginSizeAndTransferFromAnOffset) {
    const bool no_password = GetParam();
    FtpDriver ftp = Connect("/pub/a.bin", "a.bin");
    ASSERT_EQ(ftp.RunTransfer(49152), FtpEvent::kTransferEnded);
    std::vector<std::string> expected = {"user anonymous", "cwd /pub", "size a.bin", "type i",
                                         "pasv", "rest 49152", "retr /pub/a.bin"};
    if (!no_password) expected.insert(expected.begin() + 1, "pass zephyrloader@example.com");
    EXPECT_EQ(ftp.commands, expected);
    EXPECT_EQ(ftp.replies.front(), 220) << "the multi-line greeting is one reply";
    EXPECT_EQ(ftp.reply_texts.front(), "Codec test server");
    EXPECT_EQ(ftp.replies[1], no_password ? 230 : 331);
    EXPECT_EQ(ftp.content_length, 300000);
    EXPECT_EQ(ftp.received, content_.substr(49152));
    EXPECT_EQ(ftp.session().step(), FtpStep::kPasv);

    // A transfer cut short: the server's end-of-transfer reply is taken and a new one can start.
    ASSERT_EQ(ftp.RunTransfer(16384, 20000), FtpEvent::kTransferEnded);
    EXPECT_GE(ftp.received.size(), 20000u);
    EXPECT_EQ(ftp.received.substr(0, 20000), content_.substr(16384, 20000));
    ASSERT_EQ(ftp.RunTransfer(0), FtpEvent::kTransferEnded);
    EXPECT_EQ(ftp.received, content_);
}

TEST_P(FtpCodecVsftpd, FileInTheRootFolder) {
    FtpDriver ftp = Connect("/b.bin", "b.bin");
    ASSERT_EQ(ftp.RunTransfer(0), FtpEvent::kTransferEnded);
    EXPECT_NE(std::find(ftp.commands.begin(), ftp.commands.end(), "cwd /"), ftp.commands.end());
    EXPECT_EQ(ftp.received, content_.substr(0, 1000));
}

TEST_P(FtpCodecVsftpd, MissingFileFailsAtSize) {
    FtpDriver ftp = Connect("/pub/none.bin", "none.bin");
    EXPECT_EQ(ftp.RunTransfer(0), FtpEvent::kFail);
    EXPECT_EQ(ftp.commands.back(), "size none.bin");
}

INSTANTIATE_TEST_SUITE_P(Password, FtpCodecVsftpd, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "UserLogsStraightIn" : "PasswordAsked"; });

}  // namespace
}  // namespace zl
