#include "tools/zlfetch/dht_cache_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace zlfetch {
namespace {

namespace fs = std::filesystem;

// Sets (or with nullopt, clears) an environment variable for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class DhtCacheFolder : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("zl-dht-cache-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

TEST_F(DhtCacheFolder, MadeUnderXdgDataHomeOrHomeAndClaimedByOneSeedAtATime) {
    // Relative XDG_DATA_HOME values are ignored, as the base directory rules say.
    for (const std::optional<std::string>& xdg : {std::optional<std::string>((root_ / "xdg").string() + "/"),
                                                   std::optional<std::string>("relative/xdg"),
                                                   std::optional<std::string>()}) {
        ScopedEnv data("XDG_DATA_HOME", xdg);
        ScopedEnv home("HOME", (root_ / "home").string());
        const fs::path expected = xdg && (*xdg)[0] == '/' ? root_ / "xdg" / "ZPHR" / "Zephyrloader"
                                                          : root_ / "home" / ".local" / "share" / "ZPHR" / "Zephyrloader";
        std::string why;
        int first = -1;
        EXPECT_EQ(SeedDhtCacheFolder(&why, &first), expected.string()) << why;
        ASSERT_GE(first, 0);
        EXPECT_TRUE(fs::is_directory(expected));
        EXPECT_EQ(fs::status(expected).permissions() & fs::perms::all, fs::perms::owner_all);

        int second = -1;
        EXPECT_EQ(SeedDhtCacheFolder(&why, &second), "");
        EXPECT_EQ(second, -1);
        EXPECT_NE(why.find("another seed"), std::string::npos) << why;

        ::close(first);
        EXPECT_EQ(SeedDhtCacheFolder(&why, &second), expected.string()) << why;
        ::close(second);
    }
}

TEST_F(DhtCacheFolder, RefusedWhenItCannotBeMadeOrFound) {
    std::ofstream(root_ / "file") << "x";
    struct Case {
        std::optional<std::string> xdg, home;
        const char* why;
    };
    const Case cases[] = {
        {(root_ / "file").string(), std::nullopt, "not a folder"},
        {std::nullopt, std::nullopt, "neither XDG_DATA_HOME nor HOME"},
        {std::nullopt, std::string("relative"), "neither XDG_DATA_HOME nor HOME"},
    };
    for (const Case& c : cases) {
        ScopedEnv data("XDG_DATA_HOME", c.xdg);
        ScopedEnv home("HOME", c.home);
        std::string why;
        int fd = 7;
        EXPECT_EQ(SeedDhtCacheFolder(&why, &fd), "");
        EXPECT_EQ(fd, -1);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

}  // namespace
}  // namespace zlfetch
