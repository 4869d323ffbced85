#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/base/text.h"
#include "engine/meta/bencode.h"
#include "engine/meta/torrent.h"
#include "tests/engine/meta/torrent_test_util.h"
#include "tests/support/temp_dir.h"

namespace zl {
namespace {

using test::TempDir;
using testing::BuildTorrent;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

RefPtr<TTorrent> NewTorrent(TorrentHost* host = nullptr) { return RefPtr<TTorrent>::Adopt(new TTorrent(host)); }

RefPtr<TTorrent> Load(const std::string& bytes) {
    auto t = NewTorrent();
    t->LoadFromData(bytes.data(), int64_t(bytes.size()));
    return t;
}

// Torrents made by mktorrent and libtorrent; their info hashes are computed
// independently by Python's hashlib over the info slice of the file.
TEST(TorrentReal, InfoHashesMatchAnIndependentReader) {
    if (std::system("command -v mktorrent >/dev/null && /usr/bin/python3 -c 'import libtorrent' 2>/dev/null") != 0)
        GTEST_SKIP() << "mktorrent or python3-libtorrent is not installed";
    TempDir dir;
    const std::string script = std::string(ZL_SOURCE_DIR) + "/tests/engine/meta/make_torrents.py";
    ASSERT_EQ(std::system(("/usr/bin/python3 '" + script + "' '" + dir.path() + "'").c_str()), 0);
    std::ifstream manifest(dir.path() + "/manifest.txt");
    std::string name, hash;
    int64_t piece_length = 0, pieces = 0, total = 0, files = 0;
    int seen = 0;
    std::string canonical_hash, reordered_hash;
    while (manifest >> name >> hash >> piece_length >> pieces >> total >> files) {
        SCOPED_TRACE(name);
        ++seen;
        const std::string path = dir.path() + "/" + name;
        auto t = NewTorrent();
        ASSERT_TRUE(t->LoadFromFileUrl("file://" + path)) << t->ErrorMessage();
        EXPECT_EQ(t->HexInfoHash(), hash);
        EXPECT_EQ(t->Info().piece_length, piece_length);
        EXPECT_EQ(t->Info().piece_count, pieces);
        EXPECT_EQ(t->Info().total_size, total);
        EXPECT_EQ(int64_t(t->Info().files.size()), files);
        EXPECT_EQ(t->ErrorCode(), 0);
        if (files == 4) {
            EXPECT_EQ(t->Info().files[1].path, "sub/b.bin");
            EXPECT_EQ(t->Info().files[2].path, "sub/deeper/c.txt");
            EXPECT_EQ(t->Info().files[3].offset, 700000 + 16384 + 5);
        }
        if (name.rfind("lt_", 0) == 0) {
            ASSERT_GE(t->Trackers().size(), 3u);
            EXPECT_EQ(t->Trackers()[1], "http://127.0.0.4:6969/announce");
            EXPECT_EQ(t->Trackers()[2], "http://127.0.0.5:6969/announce");
        } else if (name.rfind("mk_", 0) == 0) {
            EXPECT_EQ(t->Comment(), "made by mktorrent");
        }
        // Encoding the parsed tree gives back the file byte for byte.
        const std::string bytes = ReadFile(path);
        auto root = ParseElement(bytes);
        ASSERT_TRUE(root);
        EXPECT_EQ(Encode(*root), bytes);
        if (name == "mk_m_15.torrent") canonical_hash = hash;
        if (name == "reordered.torrent") reordered_hash = hash;
    }
    EXPECT_EQ(seen, 14);
    // Same content, keys out of canonical order: the hash follows the bytes.
    EXPECT_FALSE(reordered_hash.empty());
    EXPECT_NE(reordered_hash, canonical_hash);
}

TEST(Torrent, ReadsTheFieldsOfABuiltTorrent) {
    const std::string bytes = BuildTorrent([](QDictionaryElement& top, QDictionaryElement& info) {
        top.AddString("comment", "hello");
        top.SetInteger("creation date", 1700000000);
        info.AddString("publisher", "pub");
    });
    auto t = Load(bytes);
    ASSERT_TRUE(t->Loaded()) << t->ErrorMessage();
    EXPECT_EQ(t->Comment(), "hello");
    EXPECT_EQ(t->CreationDate(), 1700000000);
    EXPECT_EQ(t->Publisher(), "pub");  // found inside the info dictionary
    EXPECT_EQ(t->Info().name, "folder");
    EXPECT_EQ(t->Info().total_size, 50000);
    EXPECT_EQ(t->Info().PieceSize(3), 50000 - 3 * 16384);
    EXPECT_EQ(t->Info().PieceSize(4), 0);
    EXPECT_EQ(t->Info().PieceHash(4), nullptr);
    // The hash is that of the info slice.
    auto root = ParseElement(bytes);
    const QElement* info = root->FindValue("info");
    const Sha1Digest expected = Sha1Of(info->GetSource(), size_t(info->GetEncodedLength()));
    EXPECT_EQ(t->InfoHash(), expected);
    EXPECT_EQ(t->HexInfoHash(), HexEncode(expected));
    EXPECT_EQ(t->EscapedInfoHash(), PercentEncode(std::string_view(reinterpret_cast<const char*>(expected.data()), 20),
                                                PercentKeep::kAlnum));
}

TEST(Torrent, TrackerTexts) {
    auto with_announce = [](std::string announce) {
        return BuildTorrent([&](QDictionaryElement& top, QDictionaryElement&) {
            top.Clear();
            top.AddString("announce", announce);
        });
    };
    EXPECT_EQ(Load(with_announce("  http://127.0.0.2/a||"))->Announce(), "http://127.0.0.2/a");
    EXPECT_EQ(Load(with_announce("xx udp://127.0.0.2:80 \t"))->Announce(), "udp://127.0.0.2:80");
    for (const char* junk : {"|", "h", "||||"}) {
        auto t = Load(with_announce(junk));
        ASSERT_TRUE(t->Loaded());
        EXPECT_EQ(t->Announce(), "");
        ASSERT_EQ(t->Trackers().size(), 1u);
        EXPECT_EQ(t->Trackers()[0], "");
    }
    auto tiers = Load(BuildTorrent([](QDictionaryElement& top, QDictionaryElement&) {
        auto* list = top.AddList("announce-list");
        list->AddList()->AppendString("http://127.0.0.3/x");
        list->AddList()->AppendString("http://127.0.0.4/y|");
    }));
    EXPECT_EQ(tiers->Trackers(),
              (std::vector<std::string>{"http://127.0.0.2:6969/announce", "http://127.0.0.3/x", "http://127.0.0.4/y"}));
    auto labelled = Load(BuildTorrent([](QDictionaryElement& top, QDictionaryElement&) {
        auto* list = top.AddList("announce-list");
        for (const char* s : {"Tracker", "http://127.0.0.3/x", "Name", "http://127.0.0.4/y"}) list->AppendString(s);
    }));
    EXPECT_EQ(labelled->Trackers(), (std::vector<std::string>{"http://127.0.0.2:6969/announce", "http://127.0.0.3/x"}));
}

// A value that equals a key's name must not be read as that key.
TEST(Torrent, KeysAreReadAtKeyPositionsOnly) {
    const std::string bytes = BuildTorrent([](QDictionaryElement& top, QDictionaryElement& info) {
        top.Clear();
        top.AddString("comment", "announce");
        top.AddString("announce", "http://127.0.0.9/real");
        info.Clear();
        info.AddString("publisher", "name");
        info.AddString("name", "single.bin");
        info.SetInteger("piece length", 16384);
        info.AddString("pieces", std::string(20, 'h'));
        info.SetInteger("length", 100);
    });
    auto t = Load(bytes);
    ASSERT_TRUE(t->Loaded()) << t->ErrorMessage();
    EXPECT_EQ(t->Announce(), "http://127.0.0.9/real");
    EXPECT_EQ(t->Info().name, "single.bin");
    EXPECT_TRUE(t->Info().single_file);
    ASSERT_EQ(t->Info().files.size(), 1u);
    EXPECT_EQ(t->Info().files[0].path, "single.bin");
}

TEST(Torrent, CodePages) {
    const std::string gbk_name = "\xd6\xd0\xce\xc4";  // "中文"
    auto named = [&](std::function<void(QDictionaryElement&)> top_edit) {
        return BuildTorrent([&](QDictionaryElement& top, QDictionaryElement& info) {
            top_edit(top);
            info.Remove(info.FindValue("name"));
            info.Remove(info.FindChild("name"));
            info.AddString("name", gbk_name);
        });
    };
    auto gbk = Load(named([](QDictionaryElement& top) { top.AddString("encoding", "gbk"); }));
    ASSERT_TRUE(gbk->Loaded()) << gbk->ErrorMessage();
    EXPECT_EQ(gbk->CodePage(), 936);
    EXPECT_EQ(gbk->Info().name, "中文");
    auto utf8 = Load(named([](QDictionaryElement& top) { top.AddString("encoding", "UTF-8"); }));
    EXPECT_EQ(utf8->CodePage(), 0);
    EXPECT_EQ(utf8->Info().name, gbk_name);  // byte for byte
    auto both = Load(named([](QDictionaryElement& top) {
        top.AddString("encoding", "BIG5");
        top.SetInteger("codepage", 936);
    }));
    EXPECT_EQ(both->CodePage(), 936);
    // A code page from an earlier load of the same object wins.
    auto kept = NewTorrent();
    kept->SetCodePage(950);
    const std::string bytes = named([](QDictionaryElement& top) { top.SetInteger("codepage", 936); });
    kept->LoadFromData(bytes.data(), int64_t(bytes.size()));
    EXPECT_EQ(kept->CodePage(), 950);
}

TEST(Torrent, BadTorrentsAreRefused) {
    using Edit = std::function<void(QDictionaryElement&, QDictionaryElement&)>;
    auto set_piece_length = [](int64_t v) -> Edit {
        return [v](QDictionaryElement&, QDictionaryElement& info) {
            info.Remove(info.FindValue("piece length"));
            info.SetInteger("piece length", v);
        };
    };
    auto first_file = [](QDictionaryElement& info) { return info.ListOf("files")->ChildAt(0)->AsDictionary(); };
    auto set_path = [&](std::vector<std::string> parts) -> Edit {
        return [=](QDictionaryElement&, QDictionaryElement& info) {
            auto* path = first_file(info)->ListOf("path");
            path->Clear();
            for (const auto& p : parts) path->AppendString(p);
        };
    };
    auto set_length = [&](int64_t a, int64_t b) -> Edit {
        return [=](QDictionaryElement&, QDictionaryElement& info) {
            auto* files = info.ListOf("files");
            for (int i = 0; i < 2; ++i) {
                auto* f = files->ChildAt(i)->AsDictionary();
                f->Remove(f->FindValue("length"));
                f->SetInteger("length", i == 0 ? a : b);
            }
        };
    };
    auto set_pieces = [](size_t n) -> Edit {
        return [n](QDictionaryElement&, QDictionaryElement& info) {
            auto* key = info.FindChild("pieces");
            info.Remove(info.NextSibling(key));
            info.Remove(key);
            info.AddString("pieces", std::string(n, 'h'));
        };
    };
    struct Case {
        const char* what;
        Edit edit;
        const char* message;  // part of the error text
    };
    const Case cases[] = {
        {"piece length 0", set_piece_length(0), "piece length"},
        {"piece length 1000", set_piece_length(1000), "multiple of 16384"},
        {"piece length negative", set_piece_length(-16384), "piece length"},
        {"piece length above 64 MiB", set_piece_length((int64_t(64) << 20) + 16384), "64 MiB"},
        {"piece length huge", set_piece_length(int64_t(1) << 62), "piece length"},
        {"dot-dot component", set_path({"..", "x"}), "unsafe path"},
        {"separator inside", set_path({"a/b"}), "unsafe path"},
        {"backslash inside", set_path({"a\\b"}), "unsafe path"},
        {"absolute part", set_path({"/etc"}), "unsafe path"},
        {"empty component", set_path({"ok", ""}), "unsafe path"},
        {"dot component", set_path({"."}), "unsafe path"},
        {"duplicate path", set_path({"sub", "b.bin"}), "repeats"},
        {"negative size", set_length(-1, 10000), "length"},
        {"overflowing sizes", set_length(INT64_MAX, 10), "overflow"},
        {"too few pieces", set_pieces(3 * 20), "expected 4"},
        {"too many pieces", set_pieces(5 * 20), "expected 4"},
        {"pieces not whole hashes", set_pieces(81), "20-byte"},
        {"no pieces", set_pieces(0), "20-byte"},
        {"unsafe name",
         [](QDictionaryElement&, QDictionaryElement& info) {
             info.Remove(info.FindValue("name"));
             info.Remove(info.FindChild("name"));
             info.AddString("name", "..");
         },
         "unsafe torrent name"},
        {"empty info", [](QDictionaryElement&, QDictionaryElement& info) { info.Clear(); }, "no name"},
        {"empty file list",
         [](QDictionaryElement&, QDictionaryElement& info) { info.ListOf("files")->Clear(); },
         "file list is empty"},
        {"file entry not a dictionary",
         [](QDictionaryElement&, QDictionaryElement& info) { info.ListOf("files")->AppendString("x"); },
         "not a dictionary"},
        {"single file of length 0",
         [](QDictionaryElement&, QDictionaryElement& info) {
             info.Remove(info.FindValue("files"));
             info.Remove(info.FindChild("files"));
             info.SetInteger("length", 0);
         },
         "positive length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto t = Load(BuildTorrent(c.edit));
        EXPECT_FALSE(t->Loaded());
        EXPECT_EQ(t->ErrorCode(), kStatusMetainfoFailed);
        EXPECT_NE(t->ErrorMessage().find(c.message), std::string::npos) << t->ErrorMessage();
        EXPECT_TRUE(t->Trackers().empty());
        EXPECT_EQ(t->HexInfoHash(), "");
    }
}

TEST(Torrent, MalformedBencodeIsRefusedAtEveryCut) {
    const std::string good = BuildTorrent();
    ASSERT_TRUE(Load(good)->Loaded());
    for (size_t n = 1; n < good.size(); ++n) {
        const std::string cut = good.substr(0, n);
        auto t = Load(cut);
        EXPECT_FALSE(t->Loaded()) << n;
        EXPECT_EQ(t->ErrorCode(), kStatusMetainfoFailed);
    }
    std::string deep = "d1:a" + std::string(5000, 'l') + std::string(5000, 'e') + "e";
    auto t = Load(deep);
    EXPECT_FALSE(t->Loaded());
    EXPECT_NE(t->ErrorMessage().find("nests too deeply"), std::string::npos);
    auto huge = Load("d4:info999999999999:x");
    EXPECT_NE(huge->ErrorMessage().find("truncated"), std::string::npos);
    EXPECT_NE(Load("d8:announce3:abce")->ErrorMessage().find("no info"), std::string::npos);
    EXPECT_FALSE(Load("le")->Loaded());
    EXPECT_FALSE(Load("")->Loaded());
}

struct RecordingHost : TorrentHost {
    std::vector<int> statuses;
    int error = 0;
    bool stop = false;
    bool accept = true;
    void SetTaskStatus(int s) override { statuses.push_back(s); }
    void SetTaskError(int code) override { error = code; }
    void RequestStop() override { stop = true; }
    bool AcceptInfo(const TorrentInfo&, const QDictionaryElement&) override { return accept; }
};

TEST(Torrent, FileLocations) {
    TempDir dir;
    const std::string good = dir.path() + "/good.torrent";
    std::ofstream(good, std::ios::binary) << BuildTorrent();
    const std::string empty = dir.path() + "/empty.torrent";
    std::ofstream(empty, std::ios::binary) << "";
    const std::string text = dir.path() + "/text.torrent";
    std::ofstream(text, std::ios::binary) << "hello world";
    const std::string broken = dir.path() + "/broken.torrent";
    std::ofstream(broken, std::ios::binary) << BuildTorrent().substr(0, 100);

    {
        RecordingHost host;
        auto t = NewTorrent(&host);
        t->SetSource("FILE://" + good);
        EXPECT_TRUE(t->LoadMetainfo());
        EXPECT_EQ(host.statuses, (std::vector<int>{3, 4}));
        EXPECT_EQ(host.error, 0);
    }
    for (const std::string& bad : {empty, text, broken, dir.path() + "/missing.torrent", dir.path()}) {
        SCOPED_TRACE(bad);
        RecordingHost host;
        auto t = NewTorrent(&host);
        t->SetSource("file://" + bad);
        EXPECT_FALSE(t->LoadMetainfo());
        EXPECT_EQ(host.error, kStatusMetainfoFailed);
        EXPECT_TRUE(host.stop);
        EXPECT_NE(t->ErrorMessage().find(bad), std::string::npos) << t->ErrorMessage();
    }
    for (const char* source : {"http://Kademlia/0123", "http://127.0.0.2/x.torrent"}) {
        RecordingHost host;
        auto t = NewTorrent(&host);
        t->SetSource(source);
        EXPECT_FALSE(t->LoadMetainfo());
        EXPECT_EQ(host.error, 0);
        EXPECT_FALSE(host.stop);
    }
    {
        // Data given by the task takes the place of the file; a refusal by the
        // piece map fails the load and clears what was read.
        RecordingHost host;
        host.accept = false;
        auto t = NewTorrent(&host);
        t->SetSource("file:///nonexistent");
        t->SetTorrentData(BuildTorrent());
        EXPECT_FALSE(t->LoadMetainfo());
        EXPECT_EQ(t->HexInfoHash(), "");
        host.accept = true;
        EXPECT_TRUE(t->LoadMetainfo());
        EXPECT_EQ(t->HexInfoHash().size(), 40u);
    }
}

}  // namespace
}  // namespace zl
