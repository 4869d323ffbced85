#include "engine/net/ftp_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/net/ftp_commands.h"

namespace zl {
namespace {

using Status = FtpReplyReader::Status;

// Reads all replies of `wire` fed in pieces cut at `cuts`.
struct Read {
    std::vector<FtpReply> replies;
    bool error = false;
    std::string left;  // an incomplete tail
};

Read ReadAll(const std::string& wire, std::vector<size_t> cuts) {
    FtpReplyReader reader;
    Read read;
    cuts.push_back(wire.size());
    size_t at = 0;
    for (size_t cut : cuts) {
        std::string_view piece(wire.data() + at, cut - at);
        at = cut;
        while (!piece.empty() && !read.error) {
            size_t consumed = 0;
            Status status = reader.Feed(piece, consumed);
            piece.remove_prefix(consumed);
            if (status == Status::kReply) read.replies.push_back(reader.reply());
            if (status == Status::kError) read.error = true;
        }
    }
    return read;
}

TEST(FtpReplyReader, MultiLineRepliesAtEveryTwoByteSplit) {
    const std::string wire =
        "220-Welcome\r\n"
        "220-second line\r\n"
        " 220 indented, not the end\r\n"
        "230-other code, not the end\r\n"
        "220 ready\r\n"
        "331 Please specify the password.\r\n"
        "150 Opening BINARY mode\r\n226 Transfer complete.\r\n";
    for (size_t a = 0; a <= wire.size(); ++a) {
        for (size_t b = a; b <= wire.size(); ++b) {
            Read read = ReadAll(wire, {a, b});
            ASSERT_FALSE(read.error) << a << "," << b;
            ASSERT_EQ(read.replies.size(), 4u) << a << "," << b;
            EXPECT_EQ(read.replies[0].code, 220);
            EXPECT_EQ(read.replies[0].text, "Welcome");
            EXPECT_EQ(read.replies[1].code, 331);
            EXPECT_EQ(read.replies[2].code, 150) << "a reply arriving with the next is not lost";
            EXPECT_EQ(read.replies[3].code, 226);
            EXPECT_EQ(read.replies[3].text, "Transfer complete.");
        }
    }
}

TEST(FtpReplyReader, IncompleteUntilTheFinalLine) {
    EXPECT_TRUE(ReadAll("220-Hello\r\n220-more\r\n", {}).replies.empty());
    EXPECT_TRUE(ReadAll("220 ready", {}).replies.empty()) << "no line end yet";
    Read bare = ReadAll("200 ok\n213\n", {});
    ASSERT_EQ(bare.replies.size(), 2u);
    EXPECT_EQ(bare.replies[1].code, 213);
    EXPECT_EQ(bare.replies[1].text, "");
}

TEST(FtpReplyReader, RejectsGarbageAndOversizedReplies) {
    EXPECT_TRUE(ReadAll("hello\r\n", {}).error);
    EXPECT_TRUE(ReadAll("22 short\r\n", {}).error);
    EXPECT_TRUE(ReadAll("620 bad class\r\n", {}).error);
    EXPECT_TRUE(ReadAll("220x\r\n", {}).error);

    std::string endless = "220-start\r\n";
    while (endless.size() <= FtpReplyReader::kMaxReplyBytes) endless += "220-filler filler filler filler\r\n";
    EXPECT_TRUE(ReadAll(endless, {}).error);
    EXPECT_TRUE(ReadAll(std::string(FtpReplyReader::kMaxReplyBytes + 1, '2'), {}).error) << "one endless line";

    // Just under the cap is fine.
    std::string big = "220-" + std::string(FtpReplyReader::kMaxReplyBytes - 20, 'x') + "\r\n220 ok\r\n";
    ASSERT_LE(big.size(), FtpReplyReader::kMaxReplyBytes);
    EXPECT_EQ(ReadAll(big, {}).replies.size(), 1u);
}

TEST(FtpPasv, Replies) {
    struct Case {
        const char* text;
        bool ok;
        uint16_t port;
    } cases[] = {
        {"Entering Passive Mode (127,0,0,2,4,1).", true, 1025},
        {"Entering Passive Mode (127, 0, 0, 2, 255, 255)", true, 65535},
        {"=127,0,0,2,0,21", true, 21},
        {"Entering Passive Mode 10,0,0,1,200,10.", true, 51210},
        {"Entering Passive Mode (127,0,0,2,4)", false, 0},
        {"Entering Passive Mode (127,0,0,2,4,1,7)", false, 0},
        {"Entering Passive Mode (127,0,0,256,4,1)", false, 0},
        {"Entering Passive Mode (127,0,0,1,4,1000)", false, 0},
        {"Entering Passive Mode (127,0,0,1,-4,1)", false, 0},
        {"Entering Passive Mode (127,0,0,1,0,0)", false, 0},
        {"Entering Passive Mode (127,0,0,1,4,1", false, 0},
        {"Entering Passive Mode (1,2,3,4,5,0001)", false, 0},
        {"no numbers", false, 0},
    };
    for (const Case& c : cases) {
        auto pasv = ParseFtpPasvReply(c.text);
        EXPECT_EQ(pasv.has_value(), c.ok) << c.text;
        if (pasv) {
            EXPECT_EQ(pasv->port, c.port) << c.text;
        }
    }
}

TEST(FtpCommands, LinesDirectoriesAndSizes) {
    EXPECT_EQ(FtpCommandLine("type", "i"), "type i\r\n");
    EXPECT_EQ(FtpCommandLine("pasv"), "pasv\r\n");
    EXPECT_FALSE(FtpCommandLine("retr", "/a\r\ndele /b"));
    EXPECT_FALSE(FtpCommandLine("user", std::string("a\0b", 3)));

    EXPECT_EQ(FtpDirectoryOf("/a/b.zip"), "/a");
    EXPECT_EQ(FtpDirectoryOf("/a/b/c.zip"), "/a/b");
    EXPECT_EQ(FtpDirectoryOf("/b.zip"), "/");
    EXPECT_EQ(FtpDirectoryOf("b.zip"), "/");

    EXPECT_EQ(ParseFtpSizeReply("4294967296"), 4294967296LL);
    EXPECT_EQ(ParseFtpSizeReply(" 12 "), 12);
    EXPECT_FALSE(ParseFtpSizeReply("-1"));
    EXPECT_FALSE(ParseFtpSizeReply("12 bytes"));
    EXPECT_FALSE(ParseFtpSizeReply("99999999999999999999"));
    EXPECT_FALSE(ParseFtpSizeReply(""));
}

}  // namespace
}  // namespace zl
