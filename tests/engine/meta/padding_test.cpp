// Padding entries as today's clients write them (attr "p", paths under
// ".pad/"): zeros in the byte stream that take part in the piece hashes but
// are never written, read or created on disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/meta/file_piece_map.h"
#include "engine/meta/storage_layout_info.h"
#include "engine/meta/torrent.h"
#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

constexpr int64_t P = 32 * 1024;

// Files a.bin (P + 100), padding to 2P, b.bin (P - 5), padding to 3P, c.bin
// (P + 7): every real file starts on a piece.
struct Padded {
    std::vector<int64_t> sizes{P + 100, P - 100, P - 5, 5, P + 7};
    std::vector<bool> padding{false, true, false, true, false};
    std::vector<std::string> names{"a.bin", "16384", "b.bin", "5", "c.bin"};
    StorageLayout layout;
    std::string data;

    Padded() {
        std::mt19937 rng(11);
        for (size_t i = 0; i < sizes.size(); ++i) {
            std::string part(size_t(sizes[i]), '\0');
            if (!padding[i])
                for (auto& c : part) c = char(rng());
            data += part;
            layout.files.push_back({padding[i] ? std::vector<std::string>{".pad", names[i]}
                                               : std::vector<std::string>{names[i]},
                                    sizes[i], padding[i]});
        }
        layout.name = "pack";
        layout.single_file = false;
        layout.piece_length = P;
        for (int64_t off = 0; off < int64_t(data.size()); off += P) {
            const Sha1Digest d = Sha1Of(data.data() + off, size_t(std::min<int64_t>(P, int64_t(data.size()) - off)));
            layout.piece_hashes.append(reinterpret_cast<const char*>(d.data()), d.size());
        }
        layout.info_hash = Sha1Of(layout.piece_hashes.data(), layout.piece_hashes.size());
    }
    // The real files under `dir`/pack, as a seeder holds them.
    void WriteRealFiles(const std::string& dir) const {
        int64_t off = 0;
        for (size_t i = 0; i < sizes.size(); ++i) {
            if (!padding[i]) WriteFile(dir + "/pack/" + names[i], data.substr(size_t(off), size_t(sizes[i])));
            off += sizes[i];
        }
    }
};

bool PadFolderExists(const std::string& dir) { return std::filesystem::exists(dir + "/pack/.pad"); }

TEST(Padding, TorrentEntriesAreMarkedAndMayShareAName) {
    // Two padding entries named alike, as libtorrent names them by size; the
    // other attr letters are kept as they are.
    const std::string pieces(20 * 4, 'h');
    const std::string torrent =
        "d4:infod5:filesl"
        "d4:attr1:x6:lengthi40000e4:pathl5:a.binee"
        "d4:attr1:p6:lengthi9152e4:pathl4:.pad5:16384ee"
        "d4:attr2:hx6:lengthi100e4:pathl5:b.binee"
        "d4:attr1:p6:lengthi9152e4:pathl4:.pad5:16384ee"
        "e4:name4:pack12:piece lengthi16384e6:pieces80:" + pieces + "ee";
    auto t = RefPtr<TTorrent>::Adopt(new TTorrent());
    ASSERT_TRUE(t->LoadFromData(torrent.data(), int64_t(torrent.size()))) << t->ErrorMessage();
    const TorrentInfo& info = t->Info();
    ASSERT_EQ(info.files.size(), 4u);
    EXPECT_EQ(info.files[0].attr, "x");
    EXPECT_FALSE(info.files[0].padding);
    EXPECT_TRUE(info.files[1].padding);
    EXPECT_EQ(info.files[2].attr, "hx");
    EXPECT_FALSE(info.files[2].padding);
    EXPECT_TRUE(info.files[3].padding);
    EXPECT_EQ(info.files[3].offset, 40000 + 9152 + 100);
    const StorageLayout layout = LayoutFromTorrentInfo(info);
    EXPECT_TRUE(layout.files[1].padding && layout.files[3].padding && !layout.files[2].padding);

    // Real files still may not share a name.
    std::string twice = torrent;
    twice.replace(twice.find("5:b.bin"), 7, "5:a.bin");
    EXPECT_FALSE(t->LoadFromData(twice.data(), int64_t(twice.size())));
    EXPECT_NE(t->ErrorMessage().find("repeats"), std::string::npos);
}

TEST(Padding, TheFileMapMarksPaddingSpans) {
    Padded t;
    const FilePieceMap map(BlockInfo(int64_t(t.data.size()), P), t.sizes, t.padding);
    ASSERT_FALSE(map.empty());
    std::vector<FilePieceMap::Span> spans;
    ASSERT_TRUE(map.SpansOf(1, 0, P, spans));  // a.bin's tail, then its padding
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_FALSE(spans[0].padding);
    EXPECT_EQ(spans[0].length, 100);
    EXPECT_TRUE(spans[1].padding);
    EXPECT_EQ(spans[1].file, 1);
    EXPECT_EQ(spans[1].length, P - 100);
    EXPECT_TRUE(map.IsPadding(3));
    EXPECT_FALSE(map.IsPadding(4));
    // A flag list that does not fit the files gives no map.
    EXPECT_TRUE(FilePieceMap(BlockInfo(int64_t(t.data.size()), P), t.sizes, {true}).empty());
}

TEST(Padding, CompleteDataChecksCompleteWithoutPaddingOnDisk) {
    Padded t;
    for (const bool quick : {false, true}) {
        SCOPED_TRACE(quick ? "quick check" : "full check");
        TempDir dir;
        t.WriteRealFiles(dir.path());
        StorageOptions options;
        options.quick_check = quick;
        MapRig rig(dir.path(), options);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        EXPECT_TRUE(rig->AllFinished());
        EXPECT_EQ(rig->VerifiedBytes(), int64_t(t.data.size()));
        rig->CloseAll(true, true);
        EXPECT_FALSE(PadFolderExists(dir.path()));
        // The resume data names the real files only, and is taken back as it is.
        EXPECT_EQ(rig.host.resume.find(".pad"), std::string::npos);
        MapRig again(dir.path());
        again->SetResumeData(rig.host.resume);
        ASSERT_TRUE(again->LoadLayout(t.layout));
        EXPECT_TRUE(again->AllFinished());
    }
}

TEST(Padding, ADownloadStoresOnlyTheRealFilesAndUploadsZeros) {
    Padded t;
    TempDir dir;
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_FALSE(PadFolderExists(dir.path()));
    EXPECT_EQ(rig->VerifiedBytes(), 0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(t.data.data());
    for (int32_t i = 0; i < rig->PieceCount(); ++i) {
        const int64_t size = rig->Geometry().PieceSize(i);
        for (int64_t at = 0; at < size; at += 16384) {
            const int32_t n = int32_t(std::min<int64_t>(16384, size - at));
            ASSERT_TRUE(rig->ReceiveBlock(i, at, n, bytes + rig->Geometry().PieceBegin(i) + at).taken());
        }
    }
    rig->CloseAll(true, true);
    EXPECT_TRUE(rig->AllFinished());
    EXPECT_FALSE(PadFolderExists(dir.path()));
    EXPECT_EQ(ReadFile(dir / "pack/a.bin"), t.data.substr(0, size_t(P + 100)));
    EXPECT_EQ(ReadFile(dir / "pack/c.bin"), t.data.substr(size_t(3 * P), size_t(P + 7)));
    // A piece read back for a peer has zeros where the padding lies.
    std::string piece(size_t(P), 'x');
    ASSERT_EQ(rig->ReadForUpload(1, reinterpret_cast<uint8_t*>(piece.data()), int32_t(P), 0), int32_t(P));
    EXPECT_EQ(piece, t.data.substr(size_t(P), size_t(P)));
    EXPECT_FALSE(PadFolderExists(dir.path()));
}

}  // namespace
}  // namespace zl::test
