#include "app/prefix_md5.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/meta/atomic_file.h"
#include "engine/meta/md5.h"
#include "tests/support/temp_dir.h"

namespace zl::app {
namespace {

std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(i * 131 + 7);
    return s;
}

TEST(PrefixMd5, StepsAddUpToTheWholeFileDigest) {
    const zl::test::TempDir sandbox;
    const std::string path = sandbox / "prefix_md5_file";
    const std::string data = Bytes(3 * 1024 * 1024 + 17);
    ASSERT_TRUE(WriteFileAtomic(path, data));
    PrefixMd5 p;
    ASSERT_TRUE(p.Advance(path, 1000, {}));
    ASSERT_TRUE(p.Advance(path, 2 * 1024 * 1024 + 5, {}));
    EXPECT_EQ(p.Offset(), 2u * 1024 * 1024 + 5);
    ASSERT_TRUE(p.Advance(path, data.size(), {}));
    EXPECT_EQ(p.DigestHex(), Md5Hex(Md5Of(data.data(), data.size())));
    EXPECT_FALSE(p.Advance(path, data.size() + 1, {}));  // past the end: a failure, nothing lost
    EXPECT_EQ(p.Offset(), data.size());
}

TEST(PrefixMd5, ReadsTheTemporaryNameAndRestartsOnAnotherFile) {
    const zl::test::TempDir sandbox;
    const std::string target = sandbox / "prefix_md5_target";
    ::unlink(target.c_str());
    ASSERT_TRUE(WriteFileAtomic(target + ".zltmp", Bytes(5000)));
    PrefixMd5 p;
    ASSERT_TRUE(p.Advance(target, 4096, {}));
    // Kept linked, so the next file cannot get the same inode number.
    ::unlink((target + ".old").c_str());
    ASSERT_EQ(::link((target + ".zltmp").c_str(), (target + ".old").c_str()), 0);
    ::unlink((target + ".zltmp").c_str());
    const std::string other = Bytes(6000).replace(0, 1, "X");
    ASSERT_TRUE(WriteFileAtomic(target, other));  // a new inode
    ASSERT_TRUE(p.Advance(target, 6000, {}));
    EXPECT_EQ(p.DigestHex(), Md5Hex(Md5Of(other.data(), other.size())));
}

TEST(PrefixMd5, SavedStateHoldsOnlyForTheSameFile) {
    const zl::test::TempDir sandbox;
    const std::string path = sandbox / "prefix_md5_saved";
    const std::string data = Bytes(10000);
    ASSERT_TRUE(WriteFileAtomic(path, data));
    PrefixMd5 p;
    ASSERT_TRUE(p.Advance(path, 7000, {}));
    const FileIdentity id = *IdentityOf(path);
    const std::string record = p.Serialize(id);

    PrefixMd5 q;
    ASSERT_TRUE(q.Deserialize(record, id));
    EXPECT_EQ(q.Offset(), 7000u);
    ASSERT_TRUE(q.Advance(path, data.size(), {}));
    EXPECT_EQ(q.DigestHex(), Md5Hex(Md5Of(data.data(), data.size())));

    FileIdentity touched = id;
    touched.mtime_ns += 1;
    EXPECT_FALSE(q.Deserialize(record, touched));
    EXPECT_EQ(q.Offset(), 0u);
    std::string bad = record;
    bad[32] ^= 1;  // the offset no longer matches the context's bit count
    EXPECT_FALSE(q.Deserialize(bad, id));
    EXPECT_FALSE(q.Deserialize(record.substr(1), id));
    EXPECT_FALSE(q.Deserialize("", id));
}

}  // namespace
}  // namespace zl::app
