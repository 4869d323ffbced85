// Two real processes and the single-instance rule.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

const std::string kHelper = ZL_BINARY_DIR "/tests/app/single_instance_helper";

struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string buffer;

    static Child Start(const std::vector<std::string>& argv) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        Child c;
        c.pid = ::fork();
        if (c.pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        c.out = fds[0];
        return c;
    }
    // The next line within `ms`, or "" on time-out.
    std::string Line(int ms = 5000) {
        for (;;) {
            const size_t nl = buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                return line;
            }
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, ms) <= 0) return "";
            char b[256];
            const ssize_t n = ::read(out, b, sizeof b);
            if (n <= 0) return "";
            buffer.append(b, size_t(n));
        }
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (out >= 0) ::close(out);
    }
};

std::string UniqueName(const char* what) { return std::string("zl-app-test-") + what + "-" + std::to_string(::getpid()); }

TEST(SingleInstance, ResponsiveFirstIsRaisedAndKeepsRunning) {
    const std::string name = UniqueName("raise");
    Child first = Child::Start({kHelper, name});
    ASSERT_EQ(first.Line(), "first");
    Child second = Child::Start({kHelper, name});
    EXPECT_EQ(second.Line(), "handed-over");
    const int status = second.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(first.Line().rfind("raised /", 0), 0u);
    EXPECT_EQ(::kill(first.pid, 0), 0);  // still running
}

TEST(SingleInstance, StoppedFirstIsReplaced) {
    const std::string name = UniqueName("stopped");
    Child first = Child::Start({kHelper, name});
    ASSERT_EQ(first.Line(), "first");
    ASSERT_EQ(::kill(first.pid, SIGSTOP), 0);
    Child second = Child::Start({kHelper, name});
    EXPECT_EQ(second.Line(8000), "replaced " + std::to_string(first.pid));
    const int status = first.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    // The new instance answers in its turn.
    Child third = Child::Start({kHelper, name});
    EXPECT_EQ(third.Line(), "handed-over");
}

TEST(SingleInstance, SomethingElseHoldingTheNameIsNotKilled) {
    const std::string name = UniqueName("other");
    // A silent holder that is not this program.
    Child holder = Child::Start({"/usr/bin/python3", "-c",
                                 "import socket,sys,time\n"
                                 "s=socket.socket(socket.AF_UNIX)\n"
                                 "s.bind('\\0zephyrloader-" + name + "')\n"
                                 "s.listen(4)\nprint('ready',flush=True)\ntime.sleep(60)\n"});
    ASSERT_EQ(holder.Line(), "ready");
    Child second = Child::Start({kHelper, name});
    EXPECT_EQ(second.Line(8000), "other-running");
    EXPECT_EQ(::kill(holder.pid, 0), 0);
}

// Clients that connect and then send nothing, or a byte at a time, must not
// keep a later start from its answer: a start that hears none in time ends
// the (healthy) first instance.
TEST(SingleInstance, SlowClientsDoNotDelayTheAnswer) {
    const std::string name = UniqueName("slow");
    Child first = Child::Start({kHelper, name});
    ASSERT_EQ(first.Line(), "first");
    Child slow = Child::Start({"/usr/bin/python3", "-c",
                               "import socket,time\n"
                               "idle=[]\n"
                               "for i in range(8):\n"
                               "    s=socket.socket(socket.AF_UNIX)\n"
                               "    s.connect('\\0zephyrloader-" + name + "')\n"
                               "    idle.append(s)\n"
                               "d=socket.socket(socket.AF_UNIX)\n"
                               "d.connect('\\0zephyrloader-" + name + "')\n"
                               "print('ready',flush=True)\n"
                               "for i in range(100):\n"
                               "    d.send(b'x')\n"
                               "    time.sleep(0.1)\n"});
    ASSERT_EQ(slow.Line(), "ready");
    Child second = Child::Start({kHelper, name});
    EXPECT_EQ(second.Line(8000), "handed-over");
    EXPECT_EQ(::kill(first.pid, 0), 0);  // still running
}

}  // namespace
