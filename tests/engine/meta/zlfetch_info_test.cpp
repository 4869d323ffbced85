// The "zlfetch info" command on real files: output, and one line on stderr
// with status 2 for anything that is not a usable torrent. The info hash it
// prints is checked against Python's hashlib over the info slice of the file,
// not against the engine's own torrent reader.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/engine/meta/torrent_test_util.h"
#include "tests/support/temp_dir.h"

namespace zl {
namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

Result RunInfo(const std::string& args, const std::string& dir) {
    const std::string err_path = dir + "/stderr.txt";
    const std::string cmd = std::string(ZL_BINARY_DIR) + "/tools/zlfetch info " + args + " 2>" + err_path;
    Result r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(err_path);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    return r;
}

// The SHA-1 of the info dictionary's bytes as they stand in the file, by
// Python's hashlib (tests/engine/meta/make_torrents.py).
std::string IndependentInfoHash(const std::string& torrent) {
    const std::string cmd = "/usr/bin/python3 '" + std::string(ZL_SOURCE_DIR) +
                            "/tests/engine/meta/make_torrents.py' --info-hash '" + torrent + "'";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    std::array<char, 128> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

TEST(ZlfetchInfo, PrintsTheTorrentAndRefusesBadFiles) {
    test::TempDir sandbox("zl-meta-info");
    const std::string dir = sandbox.path();
    // The info keys out of order: a reader that re-encodes the dictionary
    // (sorting its keys) would print another hash than the file's bytes give.
    const std::string bytes = testing::BuildTorrent([](QDictionaryElement&, QDictionaryElement& info) {
        info.AddString("x-late", "sorted first would change the bytes");
        info.AddString("a-early", "but stays last");
    });
    const std::string good = sandbox.File("good.torrent", bytes);
    const std::string hash = IndependentInfoHash(good);
    ASSERT_EQ(hash.size(), 40u) << hash;

    Result ok = RunInfo(good, dir);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("info hash: " + hash), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("  10000 sub/b.bin"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("piece length: 16384"), std::string::npos);
    EXPECT_NE(ok.out.find("http://127.0.0.2:6969/announce"), std::string::npos);

    Result json = RunInfo(dir + "/good.torrent --json", dir);
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("\"info_hash\" : \"" + hash + "\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"total_size\" : 50000"), std::string::npos);

    std::ofstream(dir + "/cut.torrent", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    std::ofstream(dir + "/text.torrent", std::ios::binary) << "not a torrent";
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);  // must not hang waiting for a writer
    for (const std::string& bad : {dir + "/cut.torrent", dir + "/text.torrent", dir + "/missing", dir, dir + "/fifo"}) {
        SCOPED_TRACE(bad);
        Result r = RunInfo(bad, dir);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("zlfetch info: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(RunInfo("", dir).status, 2);
}

}  // namespace
}  // namespace zl
