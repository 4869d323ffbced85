#include "app/app_paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace zl::app {
namespace {

// Sets (or, with nullopt, unsets) environment variables for one test and
// restores them afterwards.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<const char*, std::optional<std::string>>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
            Set(name, value);
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) Set(name, value);
    }

private:
    static void Set(const char* name, const std::optional<std::string>& value) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(AppPaths, DownloadFolderFromUserDirs) {
    const std::string home = "/home/u";
    const struct {
        const char* text;
        const char* folder;
    } cases[] = {
        {"XDG_DOWNLOAD_DIR=\"$HOME/下载\"\n", "/home/u/下载"},
        {"# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"/srv/dl/\"\n",
         "/srv/dl"},
        {"  XDG_DOWNLOAD_DIR=\"$HOME/a\"\nXDG_DOWNLOAD_DIR=\"$HOME/b\"\n", "/home/u/b"},  // the last one counts
        {"XDG_DOWNLOAD_DIR=\"$HOME/\"\n", "/home/u"},                                   // disabled: home itself
        {"XDG_DOWNLOAD_DIR=\"Downloads\"\n", ""},                                       // relative: ignored
        {"XDG_DOWNLOAD_DIR=\"$HOMEX/dl\"\n", ""},                                       // not $HOME
        {"XDG_DOWNLOAD_DIR=\"/open\n", ""},                                             // no closing quote
        {"#XDG_DOWNLOAD_DIR=\"/commented\"\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(DownloadFolderFromUserDirs(c.text, home), c.folder) << c.text;
}

TEST(AppPaths, XdgFoldersAndTheirDefaults) {
    {
        ScopedEnv env{{"HOME", "/home/u"}, {"XDG_DATA_HOME", "/x/data"}, {"XDG_CACHE_HOME", "/x/cache"}};
        EXPECT_EQ(DefaultDataRoot(), "/x/data");
        EXPECT_EQ(CrashDumpFolder(), "/x/cache/ZPHR/Zephyrloader");
    }
    {
        // Relative values are ignored, as XDG says.
        ScopedEnv env{{"HOME", "/home/u"}, {"XDG_DATA_HOME", "rel"}, {"XDG_CACHE_HOME", std::nullopt}};
        EXPECT_EQ(DefaultDataRoot(), "/home/u/.local/share");
        EXPECT_EQ(CrashDumpFolder(), "/home/u/.cache/ZPHR/Zephyrloader");
    }
    {
        // Without HOME (a bare environment) the home of the password database.
        ScopedEnv env{{"HOME", std::nullopt}, {"XDG_DATA_HOME", std::nullopt}};
        const passwd* entry = ::getpwuid(::getuid());
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(HomeFolder(), entry->pw_dir);
        EXPECT_EQ(DefaultDataRoot(), JoinPath(entry->pw_dir, ".local/share"));
    }
}

TEST(AppPaths, DefaultDownloadRootTakesTheFolderOfUserDirs) {
    test::TempDir home("zl-home");
    const std::string named = home / "下载";
    home.File("下载/.keep", "");
    home.File("Downloads/.keep", "");
    home.File("conf/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/下载\"\n");
    {
        ScopedEnv env{{"HOME", home.path()}, {"XDG_CONFIG_HOME", home / "conf"}, {"XDG_DOWNLOAD_DIR", std::nullopt}};
        EXPECT_EQ(DefaultDownloadRoot(), named);  // one file system: the first candidate wins the tie
    }
    {
        ScopedEnv env{{"HOME", home.path()}, {"XDG_CONFIG_HOME", home / "none"}, {"XDG_DOWNLOAD_DIR", std::nullopt}};
        EXPECT_EQ(DefaultDownloadRoot(), home / "Downloads");
    }
    {
        ScopedEnv env{{"HOME", home.path()}, {"XDG_CONFIG_HOME", home / "conf"}, {"XDG_DOWNLOAD_DIR", home.path()}};
        EXPECT_EQ(DefaultDownloadRoot(), home.path());  // the variable outranks the file
    }
}

}  // namespace
}  // namespace zl::app
