#include "engine/net/ftp_session.h"

#include <gtest/gtest.h>

#include <string>

namespace zl {
namespace {

FtpReply R(int code, std::string text = "") { return FtpReply{code, std::move(text)}; }

FtpSessionConfig Config(std::string user = "u", std::string password = "p") {
    return FtpSessionConfig{std::move(user), std::move(password), "/a/b.zip", "b.zip", false};
}

// Runs one command step: the command is taken, written, and answered by `reply`.
FtpOutcome Step(FtpSession& s, const char* expected_command, FtpReply reply) {
    auto command = s.TakeCommand(true);
    EXPECT_EQ(command.value_or("<none>"), expected_command);
    EXPECT_EQ(s.phase(), FtpPhase::kFlushing);
    s.OnCommandFlushed();
    return s.OnReply(reply);
}

TEST(FtpSession, LoginTransferAndRestart) {
    FtpSession s(Config());
    EXPECT_EQ(s.step(), FtpStep::kGreeting);
    EXPECT_FALSE(s.TakeCommand(true)) << "nothing is sent before the greeting";
    FtpOutcome greeting = s.OnReply(R(220, "hi"));
    EXPECT_TRUE(greeting.logged_in);
    EXPECT_EQ(Step(s, "user u\r\n", R(331)).event, FtpEvent::kNextStep);
    EXPECT_EQ(Step(s, "pass p\r\n", R(230)).event, FtpEvent::kNextStep);
    EXPECT_EQ(Step(s, "cwd /a\r\n", R(250)).event, FtpEvent::kNextStep);
    EXPECT_EQ(Step(s, "size b.zip\r\n", R(213, "4294967296")).content_length, 4294967296LL);
    EXPECT_EQ(Step(s, "type i\r\n", R(200)).event, FtpEvent::kNextStep);
    EXPECT_FALSE(s.TakeCommand(false)) << "no pasv without work";
    FtpOutcome pasv = Step(s, "pasv\r\n", R(227, "Entering Passive Mode (10,9,8,7,4,1)"));
    EXPECT_EQ(pasv.event, FtpEvent::kConnectData);
    EXPECT_EQ(pasv.data_port, 1025);
    EXPECT_EQ(s.OnReply(R(200)).event, FtpEvent::kFail) << "no reply is due while the data connection opens";

    s = FtpSession(Config());
    s.OnReply(R(220));
    Step(s, "user u\r\n", R(331));
    Step(s, "pass p\r\n", R(230));
    Step(s, "cwd /a\r\n", R(250));
    Step(s, "size b.zip\r\n", R(213, "100"));
    Step(s, "type i\r\n", R(200));
    Step(s, "pasv\r\n", R(227, "(127,0,0,2,4,1)"));
    FtpOutcome rest = s.OnDataConnected(4294967296LL + 16384);
    EXPECT_EQ(rest.event, FtpEvent::kCommandQueued);
    EXPECT_EQ(rest.command, "rest 4294983680\r\n");
    EXPECT_EQ(s.step(), FtpStep::kRest);
    s.OnCommandFlushed();
    FtpOutcome retr = s.OnReply(R(350));
    EXPECT_EQ(retr.command, "retr /a/b.zip\r\n");
    s.OnCommandFlushed();
    EXPECT_EQ(s.OnReply(R(150)).event, FtpEvent::kTransferStarted);
    EXPECT_EQ(s.step(), FtpStep::kTransfer);
    EXPECT_TRUE(s.OnTransferClosed());
    EXPECT_EQ(s.step(), FtpStep::kTransferEnd);
    EXPECT_EQ(s.OnReply(R(426, "aborted")).event, FtpEvent::kTransferEnded);
    EXPECT_EQ(s.TakeCommand(true), "pasv\r\n") << "a new transfer starts at the wanted offset";
}

TEST(FtpSession, UnexpectedRepliesFailAndFiveHundredsPenalise) {
    struct Case {
        int step_replies;  // replies accepted before the bad one
        FtpReply bad;
        bool penalise;
    } cases[] = {
        {0, R(421, "busy"), false},   // greeting
        {1, R(530), true},            // user
        {2, R(530, "Login incorrect"), true},  // pass
        {3, R(550), true},            // cwd
        {4, R(213, "12x"), false},    // size with a bad number
        {4, R(550), true},            // size unknown
        {5, R(500), true},            // type
        {6, R(227, "(127,0,0,1,4)"), false},  // pasv with five numbers
        {6, R(227, "(127,0,0,1,4,256)"), false},
    };
    const FtpReply good[] = {R(220), R(331), R(230), R(250), R(213, "5"), R(200)};
    for (const Case& c : cases) {
        FtpSession s(Config());
        for (int i = 0; i < c.step_replies; ++i) {
            if (i > 0) {
                s.TakeCommand(true);
                s.OnCommandFlushed();
            }
            ASSERT_EQ(s.OnReply(good[i]).event, FtpEvent::kNextStep) << i;
        }
        if (c.step_replies > 0) {
            s.TakeCommand(true);
            s.OnCommandFlushed();
        }
        FtpOutcome outcome = s.OnReply(c.bad);
        EXPECT_EQ(outcome.event, FtpEvent::kFail) << c.bad.code << " at " << c.step_replies;
        EXPECT_EQ(outcome.penalise, c.penalise) << c.bad.code << " at " << c.step_replies;
    }
}

TEST(FtpSession, UserAcceptedWithoutPasswordSkipsPass) {
    FtpSession s(Config());
    s.OnReply(R(220));
    EXPECT_EQ(Step(s, "user u\r\n", R(230, "Already logged in")).event, FtpEvent::kNextStep);
    EXPECT_EQ(s.step(), FtpStep::kCwd);
    EXPECT_EQ(s.TakeCommand(true), "cwd /a\r\n");
}

TEST(FtpSession, AnonymousRootFileAndUnsafeNames) {
    FtpSession anonymous(FtpSessionConfig{"", "", "/b.zip", "b.zip", true});
    anonymous.OnReply(R(220));
    EXPECT_EQ(Step(anonymous, "user anonymous\r\n", R(331)).event, FtpEvent::kNextStep);
    EXPECT_EQ(Step(anonymous, "pass zephyrloader@example.com\r\n", R(332)).event, FtpEvent::kNextStep);
    EXPECT_EQ(anonymous.TakeCommand(true), "cwd /\r\n");
    anonymous.OnCommandFlushed();
    anonymous.OnReply(R(250));
    Step(anonymous, "size b.zip\r\n", R(213, "5"));
    Step(anonymous, "type i\r\n", R(200));
    EXPECT_EQ(anonymous.TakeCommand(false), "pasv\r\n") << "whole-content mode always transfers";

    FtpSession unsafe(FtpSessionConfig{"u", "p", "/a\r\ndele x", "x", false});
    EXPECT_EQ(unsafe.OnReply(R(220)).event, FtpEvent::kFail);
}

TEST(FtpSession, GreetingWaitsThroughOneTwenty) {
    FtpSession s(Config());
    EXPECT_EQ(s.OnReply(R(120, "ready in 2 minutes")).event, FtpEvent::kWait);
    EXPECT_EQ(s.OnReply(R(220)).event, FtpEvent::kNextStep);
}

TEST(FtpSession, DataConnectionClosedOutsideATransfer) {
    FtpSession s(Config());
    s.OnReply(R(220));
    EXPECT_TRUE(s.OnTransferClosed()) << "nothing to undo during login";
    EXPECT_EQ(s.step(), FtpStep::kUser);
    Step(s, "user u\r\n", R(230));
    Step(s, "cwd /a\r\n", R(250));
    Step(s, "size b.zip\r\n", R(213, "5"));
    Step(s, "type i\r\n", R(200));
    Step(s, "pasv\r\n", R(227, "(127,0,0,1,4,1)"));
    EXPECT_TRUE(s.OnTransferClosed()) << "the data connection never opened: ask again";
    EXPECT_EQ(s.TakeCommand(true), "pasv\r\n");
    s.OnCommandFlushed();
    s.OnReply(R(227, "(127,0,0,1,4,1)"));
    s.OnDataConnected(0);
    EXPECT_FALSE(s.OnTransferClosed()) << "rest is in flight";
}

TEST(FtpStreamSkip, FiveBlocksAheadAtMost) {
    EXPECT_EQ(FtpStreamSkip(81920, 0), 81920);
    EXPECT_FALSE(FtpStreamSkip(81921, 0));
    EXPECT_FALSE(FtpStreamSkip(102400, 0)) << "100 KiB ahead restarts";
    EXPECT_FALSE(FtpStreamSkip(0, 16384));
    EXPECT_EQ(FtpTimeoutSeconds(FtpStep::kTransfer, 0), 15);
    EXPECT_EQ(FtpTimeoutSeconds(FtpStep::kSize, 0), 30);
    EXPECT_EQ(FtpTimeoutSeconds(FtpStep::kTransfer, 100), 30);
}

}  // namespace
}  // namespace zl
