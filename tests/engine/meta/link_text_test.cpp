// Task link texts: the reader's table of good and bad texts, the torrent
// object that takes one in place of a torrent, and the piece map it gives
// (one file, pieces accepted without hashing).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/text.h"
#include "engine/meta/link_text.h"
#include "engine/meta/storage_layout_info.h"
#include "engine/meta/torrent.h"
#include "tests/engine/meta/storage_test_util.h"

namespace zl {
namespace {

using test::MapRig;
using test::TempDir;

const std::string kHexLower = "0123456789abcdef0123456789abcdef01234567";
const std::string kHexUpper = "0123456789ABCDEF0123456789ABCDEF01234567";

std::string Text(const std::string& hash, const std::string& size, const std::string& length,
                 const std::string& tracker) {
    return "$Hash$" + hash + "$Size$" + size + "$Length$" + length + "$Tracker$" + tracker + "$End$";
}

TEST(LinkText, TableOfTexts) {
    struct Row {
        const char* what;
        std::string text;
        bool good;
        int64_t size = 0;
        int64_t piece_length = 0;
        std::string tracker;
        int32_t pieces = 0;
        std::string error_word = {};  // in the refusal
    };
    const std::string good = Text(kHexLower, "5000000", "2097152", "http$$$127.0.14.2:6969/announce");
    const std::vector<Row> rows = {
        {"lower-case hex", good, true, 5000000, 2097152, "http://127.0.14.2:6969/announce", 3},
        {"upper-case hex", Text(kHexUpper, "5000000", "2097152", "http$$$h/a"), true, 5000000, 2097152, "http://h/a", 3},
        {"$$$ at position 0 stays", Text(kHexLower, "1", "16384", "$$$h/a"), true, 1, 16384, "$$$h/a", 1},
        {"only the first $$$ is replaced", Text(kHexLower, "1", "16384", "udp$$$h/a$$$b"), true, 1, 16384,
         "udp://h/a$$$b", 1},
        {"a 4 GiB + 1 size", Text(kHexLower, "4294967297", "4194304", "http$$$h/a"), true, 4294967297, 4194304, "http://h/a",
         1025},
        {"leading blanks, trailing text", Text(kHexLower, "  100000x", "16384 ", ""), true, 100000, 16384, "", 7},
        {"markers in another order",
         "$Length$32768$Tracker$http$$$h/a$End$$Size$65536$Hash$" + kHexLower, true, 65536, 32768, "http://h/a", 2},
        {"no $Hash$", "$Size$1$Length$16384$Tracker$x$End$", false, 0, 0, "", 0, "\"$Hash$\""},
        {"no $Size$", "$Hash$" + kHexLower + "$Length$16384$Tracker$x$End$", false, 0, 0, "", 0, "\"$Size$\""},
        {"no $Length$", "$Hash$" + kHexLower + "$Size$1$Tracker$x$End$", false, 0, 0, "", 0, "\"$Length$\""},
        {"no $Tracker$", "$Hash$" + kHexLower + "$Size$1$Length$16384$End$", false, 0, 0, "", 0, "\"$Tracker$\""},
        {"no $End$", "$Hash$" + kHexLower + "$Size$1$Length$16384$Tracker$x", false, 0, 0, "", 0, "\"$End$\""},
        {"$End$ only before $Tracker$", "$End$$Hash$" + kHexLower + "$Size$1$Length$16384$Tracker$x", false, 0, 0, "",
         0, "after"},
        {"a short hash", Text(kHexLower.substr(0, 39), "1", "16384", "x"), false, 0, 0, "", 0, "40 hexadecimal"},
        {"a hash with a non-hex digit", Text("g" + kHexLower.substr(1), "1", "16384", "x"), false, 0, 0, "", 0,
         "40 hexadecimal"},
        {"a zero piece length", Text(kHexLower, "1", "0", "x"), false, 0, 0, "", 0, "piece length"},
        {"an odd piece length", Text(kHexLower, "1", "16385", "x"), false, 0, 0, "", 0, "piece length"},
        {"a piece length above 64 MiB", Text(kHexLower, "1", "134217728", "x"), false, 0, 0, "", 0, "piece length"},
        {"no digits for the piece length", Text(kHexLower, "1", "-16384", "x"), false, 0, 0, "", 0, "piece length"},
        {"a zero size", Text(kHexLower, "0", "16384", "x"), false, 0, 0, "", 0, "size"},
        {"a size beyond 63 bits", Text(kHexLower, "99999999999999999999", "16384", "x"), false, 0, 0, "", 0, "size"},
        {"more pieces than a count holds", Text(kHexLower, "9000000000000000000", "16384", "x"), false, 0, 0, "", 0,
         "too many pieces"},
        // A few bytes of text must not make billions of piece objects.
        {"as many pieces as allowed", Text(kHexLower, "34359738368", "16384", "x"), true, 34359738368, 16384, "x",
         2097152},
        {"one piece more", Text(kHexLower, "34359738369", "16384", "x"), false, 0, 0, "", 0, "too many pieces"},
        {"just under a 32-bit count", Text(kHexLower, "35184372072448", "16384", "x"), false, 0, 0, "", 0,
         "too many pieces"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_TRUE(LooksLikeLinkText(row.text));
        std::string error;
        const std::optional<LinkText> link = ParseLinkText(row.text, &error);
        ASSERT_EQ(link.has_value(), row.good) << error;
        if (!row.good) {
            EXPECT_NE(error.find(row.error_word), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(HexEncode(link->info_hash), kHexLower.substr(0, 40));
        EXPECT_EQ(link->size, row.size);
        EXPECT_EQ(link->piece_length, row.piece_length);
        EXPECT_EQ(link->tracker, row.tracker);
        EXPECT_EQ(BlockInfo(link->size, link->piece_length).piece_count(), row.pieces);
        // Written back and read again, it is the same task.
        const std::optional<LinkText> again = ParseLinkText(FormatLinkText(*link));
        ASSERT_TRUE(again);
        EXPECT_EQ(again->info_hash, link->info_hash);
        EXPECT_EQ(again->size, link->size);
    }
    EXPECT_FALSE(LooksLikeLinkText("/tmp/package.torrent"));
}

struct LinkHost : TorrentHost {
    std::vector<int> statuses;
    bool accept = true;
    void SetTaskStatus(int s) override { statuses.push_back(s); }
    bool AcceptLinkText(const TorrentInfo&) override { return accept; }
};

TEST(LinkText, TheTorrentReadsASourceHoldingEnd) {
    LinkHost host;
    auto t = RefPtr<TTorrent>::Adopt(new TTorrent(&host));
    t->SetSource(Text(kHexUpper, "5000000", "2097152", "http$$$127.0.14.2:6969/announce"));
    ASSERT_TRUE(t->LoadMetainfo()) << t->ErrorMessage();
    EXPECT_EQ(host.statuses, (std::vector<int>{kTaskStatusLoadingMetainfo, kTaskStatusMetainfoLoaded}));
    EXPECT_TRUE(t->FromLinkText());
    EXPECT_EQ(t->HexInfoHash(), kHexLower);
    EXPECT_EQ(t->EscapedInfoHash().substr(0, 6), "%01%23");
    EXPECT_EQ(t->Announce(), "http://127.0.14.2:6969/announce");
    EXPECT_EQ(t->Trackers(), (std::vector<std::string>{"http://127.0.14.2:6969/announce"}));
    const TorrentInfo& info = t->Info();
    EXPECT_TRUE(info.single_file);
    EXPECT_TRUE(info.piece_hashes.empty());
    EXPECT_EQ(info.PieceHash(0), nullptr);
    EXPECT_EQ(info.piece_count, 3);
    ASSERT_EQ(info.files.size(), 1u);
    EXPECT_EQ(info.files[0].path, "001.zlinfo");

    // A bad text fails with its reason; a good one refused by the piece map fails too.
    t->SetSource("$Hash$" + kHexLower + "$Size$1$Length$0$Tracker$x$End$");
    EXPECT_FALSE(t->LoadMetainfo());
    EXPECT_EQ(t->ErrorCode(), kStatusMetainfoFailed);
    EXPECT_NE(t->ErrorMessage().find("piece length"), std::string::npos);
    EXPECT_TRUE(t->HexInfoHash().empty());
    host.accept = false;
    t->SetSource(Text(kHexLower, "1", "16384", "x"));
    EXPECT_FALSE(t->LoadMetainfo());
    EXPECT_FALSE(t->FromLinkText());
}

// The storage layout of a link text as the task builds it.
StorageLayout LinkLayout(const std::string& text) {
    auto t = RefPtr<TTorrent>::Adopt(new TTorrent());
    EXPECT_TRUE(t->LoadLinkText(text)) << t->ErrorMessage();
    return LayoutFromTorrentInfo(t->Info());
}

TEST(LinkText, ThePieceMapAcceptsPiecesUnhashed) {
    TempDir dir;
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(LinkLayout(Text(kHexLower, "40000", "16384", "x"))));
    EXPECT_FALSE(rig->InfoLoaded());
    EXPECT_EQ(rig->PieceCount(), 3);
    EXPECT_EQ(rig->Name(), "");
    ASSERT_EQ(rig->FileCount(), 1);
    EXPECT_EQ(rig->File(0).final_path, dir / "001.zlinfo");
    EXPECT_EQ(rig->VerifiedBytes(), 0);
    EXPECT_TRUE(rig->CheckFinished());
    // Any bytes complete a piece: there is nothing to check them against.
    const std::string junk(16384, 'j');
    for (int32_t i = 0; i < 3; ++i) {
        const int32_t n = int32_t(std::min<int64_t>(16384, 40000 - 16384 * int64_t(i)));
        EXPECT_EQ(rig->ReceiveBlock(i, 0, n, reinterpret_cast<const uint8_t*>(junk.data())).status,
                  BlockWrite::kPieceVerified);
    }
    rig->CloseAll(true, true);
    EXPECT_TRUE(rig->AllFinished());
    EXPECT_EQ(test::ReadFile(dir / "001.zlinfo"), std::string(40000, 'j'));
}

TEST(LinkText, AnExplicitTargetPathNamesTheFile) {
    TempDir dir;
    MapRig rig(dir.path());
    rig.host.target = dir / "chosen.bin";
    ASSERT_TRUE(rig->LoadLayout(LinkLayout(Text(kHexLower, "5000", "16384", "x"))));
    ASSERT_EQ(rig->FileCount(), 1);
    EXPECT_EQ(rig->File(0).final_path, dir / "chosen.bin");
}

TEST(LinkText, AFourGibibyteTaskHasItsPieces) {
    TempDir dir;
    StorageOptions options;
    options.preallocate = false;
    MapRig rig(dir.path(), options);
    ASSERT_TRUE(rig->LoadLayout(LinkLayout(Text(kHexLower, "4294967297", "4194304", "x"))));
    EXPECT_EQ(rig->TotalSize(), int64_t(4294967297));
    EXPECT_EQ(rig->PieceCount(), 1025);
    EXPECT_EQ(rig->Geometry().PieceSize(1024), 1);
}

}  // namespace
}  // namespace zl
