#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/engine_log.h"
#include "engine/base/engine_log_api.h"
#include "engine/base/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace zl {
namespace {

namespace fs = std::filesystem;

// Whether `text` has the shape of `pattern`, where '#' stands for any digit.
bool HasShape(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (pattern[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i]) return false;
    }
    return true;
}

class EngineLogTest : public ::testing::Test {
protected:
    std::string Read(const std::string& suffix) {
        std::ifstream file(stem_ + suffix, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    size_t FileCount() { return std::distance(fs::directory_iterator(dir_), fs::directory_iterator()); }

    // A log on a fake clock whose debugger output is captured.
    std::unique_ptr<CZephyrloaderLogApi> MakeLog() {
        auto log = std::make_unique<CZephyrloaderLogApi>(clock_);
        log->SetBaseName(stem_);
        log->SetDebugOutput(true);
        log->SetDebugSink([this](std::string_view line) { debug_.emplace_back(line); });
        return log;
    }

    FakeClock clock_;
    test::TempDir sandbox_{"zl-log"};
    fs::path dir_ = sandbox_.path();
    std::string stem_ = (dir_ / "zl").string();
    std::vector<std::string> debug_;
};

TEST_F(EngineLogTest, CategoryChoosesTheFile) {
    auto log = MakeLog();
    log->SetLevels(0, 100);  // every category to a file, nothing to the debugger
    const struct {
        int category;
        const char* suffix;
    } cases[] = {
        {4, ".req.log"},          {38, ".dump.log"},      {37, ".checktask.log"}, {18, ".peerprefer.log"},
        {28, ".dataupload.log"},  {25, ".httptrace.log"}, {9, ".checkpeer.log"},  {29, ".written.log"},
        {30, ".sha1check.log"},   {31, ".peerinfo.log"},  {40, ".log"},
    };
    for (const auto& c : cases) {
        log->Write("line of " + std::to_string(c.category), c.category, 0);
        EXPECT_NE(Read(c.suffix).find("] [line of " + std::to_string(c.category) + "]\n"), std::string::npos)
            << c.suffix;
    }
    log->Write("plain", 0, 0);
    log->Write("plain too", 23, 0);
    const std::string plain = Read(".log");
    EXPECT_NE(plain.find("[plain]\n"), std::string::npos);
    EXPECT_NE(plain.find("[plain too]\n"), std::string::npos);
    EXPECT_EQ(FileCount(), 11u);
    EXPECT_TRUE(debug_.empty());
}

TEST_F(EngineLogTest, DefaultThresholds) {
    auto log = MakeLog();
    log->Write("task created", 23, 23);
    ASSERT_EQ(debug_.size(), 1u);
    EXPECT_TRUE(HasShape(debug_[0], "[##:##:##] [task created]\n")) << debug_[0];
    EXPECT_EQ(FileCount(), 0u);

    log->Write("server configuration unreadable", 38, 38);
    EXPECT_TRUE(HasShape(Read(".dump.log"), "[##:##:##] [server configuration unreadable]\n"));
    log->Write("forty", 40, 40);
    EXPECT_NE(Read(".log").find("[forty]\n"), std::string::npos);
    log->Write("below both", 1, 1);
    EXPECT_EQ(debug_.size(), 3u);
    EXPECT_EQ(FileCount(), 2u);
}

TEST_F(EngineLogTest, Level39Silences) {
    auto log = MakeLog();
    log->SetLevels(39, 39);
    for (int v : {0, 23, 38, 39, 40, 1000}) log->Write("quiet", v, v);
    EXPECT_TRUE(debug_.empty());
    EXPECT_EQ(FileCount(), 0u);

    // A debug threshold of 39 also keeps lines out of the files.
    log->SetLevels(0, 39);
    log->Write("debug only", 40, 40);
    EXPECT_EQ(debug_.size(), 1u);
    EXPECT_EQ(FileCount(), 0u);
}

TEST_F(EngineLogTest, DebugOutputNeedsTheSwitch) {
    auto log = MakeLog();
    log->SetDebugOutput(false);
    log->Write("hidden", 23, 23);
    log->Printf("hidden %d", 1);
    EXPECT_TRUE(debug_.empty());

    ::setenv("ZL_DEBUG_LOG", "1", 1);
    CZephyrloaderLogApi from_env(clock_);
    ::unsetenv("ZL_DEBUG_LOG");
    from_env.SetDebugSink([this](std::string_view line) { debug_.emplace_back(line); });
    from_env.Write("shown", 23, 23);
    EXPECT_EQ(debug_.size(), 1u);
    CZephyrloaderLogApi without_env(clock_);
    without_env.SetDebugSink([this](std::string_view line) { debug_.emplace_back(line); });
    without_env.Write("hidden", 23, 23);
    EXPECT_EQ(debug_.size(), 1u);
}

TEST_F(EngineLogTest, LongLinesAreCutBeforeTheirEnd) {
    auto log = MakeLog();
    log->SetLevels(0, 0);
    log->Write(std::string(10'000, 'x'), 40, 40);
    const std::string file = Read(".log");
    EXPECT_EQ(file.size(), CZephyrloaderLogApi::kMaxLineBytes);
    EXPECT_EQ(file.substr(file.size() - 3), "x]\n");
    ASSERT_EQ(debug_.size(), 1u);
    EXPECT_EQ(debug_[0], file);

    // A multi-byte character is never split.
    std::string wide;
    while (wide.size() < 5000) wide += "下载";
    log->Write(wide, 40, 40);
    std::string second = Read(".log").substr(file.size());
    ASSERT_GE(second.size(), 5u);
    EXPECT_LE(second.size(), CZephyrloaderLogApi::kMaxLineBytes);
    EXPECT_EQ(second.substr(second.size() - 2), "]\n");
    const std::string body = second.substr(second.find("] [") + 3);
    EXPECT_EQ((body.size() - 2) % 3, 0u);  // whole three-byte characters only

    debug_.clear();
    log->Printf("%s", std::string(10'000, 'y').c_str());
    ASSERT_EQ(debug_.size(), 1u);
    EXPECT_EQ(debug_[0].size(), CZephyrloaderLogApi::kMaxLineBytes);
    EXPECT_EQ(debug_[0].substr(debug_[0].size() - 4), "y]\r\n");
}

TEST_F(EngineLogTest, TextIsNeverAFormat) {
    auto log = MakeLog();
    log->SetLevels(0, 0);
    log->Write("GET /%s%n%x%p HTTP/1.1", 40, 40);
    EXPECT_NE(Read(".log").find("[GET /%s%n%x%p HTTP/1.1]\n"), std::string::npos);
}

TEST_F(EngineLogTest, PrintfGoesToTheDebuggerOnly) {
    auto log = MakeLog();
    log->SetLevels(0, 0);
    log->Printf("peer %d.%d.%d.%d:%u", 127, 0, 0, 2, 6881u);
    ASSERT_EQ(debug_.size(), 1u);
    EXPECT_TRUE(HasShape(debug_[0], "[####-##-## ##:##:##] [peer 127.0.0.2:6881]\r\n")) << debug_[0];
    EXPECT_EQ(FileCount(), 0u);
}

TEST_F(EngineLogTest, SingletonWritesOnlyWhileOpen) {
    LogWrite("before open", 40, 40);  // no log: nothing happens
    EngineLogOpen();
    WithLog([&](CZephyrloaderLog& log) { log.SetBaseName(stem_); });
    EngineLogOpen();  // keeps the one there is, with its name
    LogWrite("while open", 40, 40);
    EXPECT_NE(Read(".log").find("[while open]\n"), std::string::npos);

    std::atomic<bool> closed{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&] {
            while (!closed) LogWrite("racing the close", 40, 40);
            for (int i = 0; i < 100; ++i) LogWrite("after close", 40, 40);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EngineLogClose();
    const std::string at_close = Read(".log");
    closed = true;
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(Read(".log"), at_close);
    EXPECT_EQ(at_close.find("after close"), std::string::npos);
    EngineLogClose();  // closing twice is harmless
    bool called = false;
    WithLog([&](CZephyrloaderLog&) { called = true; });
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace zl
