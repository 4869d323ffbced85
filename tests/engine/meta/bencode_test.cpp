#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/meta/bencode.h"

namespace zl {
namespace {

int64_t ParseString(std::string_view text, int64_t n, QIntegerElement& e) { return e.Parse(text.data(), n); }

TEST(Bencode, IntegerIsASuffixOfTheStringBeforeIt) {
    const std::string in = "d6:lengthi123e4:name3:abce";
    auto root = ParseElement(in);
    ASSERT_TRUE(root);
    auto* d = root->AsDictionary();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->ChildCount(), 3);
    QElement* length = d->FindValue("length");
    ASSERT_TRUE(length);
    EXPECT_EQ(length->GetBytes(), "length");
    EXPECT_EQ(length->GetInteger(), 123);
    EXPECT_EQ(d->FindValue("name")->GetBytes(), "abc");
    EXPECT_EQ(d->IntegerOf("length"), 123);
    EXPECT_EQ(d->BytesOf("name"), "abc");
    EXPECT_FALSE(d->IntegerOf("name"));
    EXPECT_EQ(Encode(*root), in);
    EXPECT_EQ(root->GetEncodedLength(), int64_t(in.size()));
    EXPECT_EQ(EncodedSize(root.get()), int64_t(in.size()));
}

TEST(Bencode, NestedSourceAndEncodedLength) {
    const std::string in = "d4:infod1:ai1eee";
    auto root = ParseElement(in);
    ASSERT_TRUE(root);
    QElement* info = root->FindValue("info");
    ASSERT_TRUE(info && info->IsDictionary());
    EXPECT_EQ(info->GetSource(), reinterpret_cast<const uint8_t*>(in.data()) + 7);
    EXPECT_EQ(info->GetEncodedLength(), 8);
    EXPECT_EQ(info->GetParent(), root.get());
}

// Keys are looked up at key positions only: a value that equals a key's name
// must not be taken for the key.
TEST(Bencode, LookupIgnoresValuePositions) {
    auto root = ParseElement(std::string_view("d7:comment4:name4:name4:realee"));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->FindValue("name")->GetBytes(), "real");
    EXPECT_EQ(root->FindChild("name")->GetBytes(), "name");  // any position
    // A key with an integer stands alone, so the pair after it is still aligned.
    auto r2 = ParseElement(std::string_view("d1:ai1e1:b1:ae"));
    EXPECT_EQ(r2->FindValue("a")->GetInteger(), 1);
    EXPECT_EQ(r2->FindValue("b")->GetBytes(), "a");
    // A missing value, or another key where the value should be, gives null.
    EXPECT_EQ(ParseElement(std::string_view("d1:ae"))->FindValue("a"), nullptr);
    EXPECT_EQ(ParseElement(std::string_view("d1:a1:bi2ee"))->FindValue("a"), nullptr);
}

TEST(Bencode, ParseResultsTable) {
    struct Case {
        const char* text;
        int64_t length;     // -1: whole text
        int64_t expected;   // bytes consumed or error
    };
    const Case cases[] = {
        {"3:abci5e", -1, 8},
        {"3:abci5e", 5, 5},       // no bytes left for the suffix
        {"3:abci5E", -1, kParseSyntax},
        {"5:ab", -1, kParseTooLong},
        {"-1:", -1, kParseTooLong},
        {"3x", -1, kParseSyntax},
        {"3", -1, kParseSyntax},           // no ":" before the end
        {"3:abci5", -1, kParseSyntax},     // no "e" before the end
        {"3:abci5", 6, kParseSyntax},
        {"99999999999:a", -1, kParseTooLong},  // does not fit 32 bits
        {"0x3:abc", -1, 7},
        {"1:ai9223372036854775807e", -1, 24},
        {"1:ai-9223372036854775808e", -1, 25},
        {"1:ai9223372036854775808e", -1, kParseSyntax},  // overflow
        {"1:ai99999999999999999999999e", -1, kParseSyntax},
    };
    for (const auto& c : cases) {
        QIntegerElement e;
        const std::string_view t(c.text);
        EXPECT_EQ(ParseString(t, c.length < 0 ? int64_t(t.size()) : c.length, e), c.expected) << c.text;
        EXPECT_EQ(e.IsValid(), c.expected > 0) << c.text;
    }
    QIntegerElement e;
    ASSERT_EQ(ParseString("1:ai-42e", 8, e), 8);
    EXPECT_EQ(e.GetInteger(), -42);
}

// Reading a number never runs past the bytes given, even when the bytes
// after them would complete it.
TEST(Bencode, NumbersStopAtTheEndOfTheInput) {
    const std::string backing = "3:abci12345e";
    for (size_t n = 1; n < backing.size(); ++n) {
        std::vector<char> exact(backing.begin(), backing.begin() + int64_t(n));  // ASan sees any overrun
        QIntegerElement e;
        const int64_t r = e.Parse(exact.data(), int64_t(n));
        if (n == 5) {
            EXPECT_EQ(r, 5);
        } else {
            EXPECT_LE(r, 0) << n;
        }
    }
}

TEST(Bencode, ContainersTable) {
    struct Case {
        const char* text;
        bool ok;
        const char* encoded;  // when ok
    };
    const Case cases[] = {
        {"de", true, "de"},
        {"DE", true, "de"},
        {"le", true, "le"},
        {"l3:abc1:xi2ee", true, "l3:abc1:xi2ee"},
        {"d1:ad1:bl0:eee", true, "d1:ad1:bl0:eee"},
        {"li1ei2ee", true, "li1ei2ee"},  // bare integers in a list
        {"di1ee", false, ""},            // an integer is no key
        {"i5e", false, ""},
        {"d", false, ""},
        {"d1:a", false, ""},
        {"d1:a1:b", false, ""},
        {"l3:abc", false, ""},
        {"d3:abcx", false, ""},
        {"", false, ""},
        {"x", false, ""},
    };
    for (const auto& c : cases) {
        auto e = ParseElement(std::string_view(c.text));
        EXPECT_EQ(e != nullptr, c.ok) << c.text;
        if (e && c.ok) {
            EXPECT_EQ(Encode(*e), c.encoded) << c.text;
        }
    }
    // Bytes after the first complete element are ignored.
    auto e = ParseElement(std::string_view("le trailing"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetEncodedLength(), 2);
}

// Where no string precedes an integer in a list (a DHT error reply's
// [201, "text"]), it is an element of its own; after a string it is still
// that string's suffix.
TEST(Bencode, AListHoldsBareIntegers) {
    const std::string error = "li201e23:A Generic Error Ocurrede";
    auto root = ParseElement(error);
    ASSERT_TRUE(root && root->IsList());
    ASSERT_EQ(root->ChildCount(), 2);
    const QElement* code = root->ChildAt(0);
    EXPECT_TRUE(code->IsBareInteger());
    EXPECT_FALSE(code->IsString());
    EXPECT_FALSE(code->IsContainer());
    EXPECT_EQ(code->GetInteger(), 201);
    EXPECT_EQ(code->GetEncodedLength(), 5);
    EXPECT_EQ(root->ChildAt(1)->GetBytes(), "A Generic Error Ocurred");
    EXPECT_EQ(Encode(*root), error);
    EXPECT_EQ(EncodedSize(root.get()), int64_t(error.size()));

    const std::string mixed = "l4:texti5ei-6eli7eei0ee";
    auto m = ParseElement(mixed);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->ChildCount(), 4);
    EXPECT_TRUE(m->ChildAt(0)->IsString());  // "text" carrying 5
    EXPECT_EQ(m->ChildAt(0)->GetInteger(), 5);
    EXPECT_EQ(m->ChildAt(1)->GetInteger(), -6);
    EXPECT_TRUE(m->ChildAt(2)->ChildAt(0)->IsBareInteger());
    EXPECT_TRUE(m->ChildAt(3)->IsBareInteger());
    EXPECT_EQ(Encode(*m), mixed);

    for (const char* bad : {"li201", "li201x", "li99999999999999999999ee", "i5e"})
        EXPECT_EQ(ParseElement(std::string_view(bad)), nullptr) << bad;

    auto built = NewList();
    ASSERT_TRUE(built->AddInteger(203));
    ASSERT_TRUE(built->AppendString("invalid token"));
    EXPECT_EQ(Encode(*built), "li203e13:invalid tokene");
    EXPECT_EQ(EncodedSize(built.get()), 23);
}

TEST(Bencode, AFailedParseSaysWhereItFailed) {
    struct Case {
        const char* text;
        int64_t result;
        int64_t at;
        const char* description;
    };
    const Case cases[] = {
        {"d1:a1:b", kParseTooLong, 4, "is truncated or declares an impossible length (at byte 4)"},
        {"d1:a1:bX", kParseSyntax, 7, "is not well-formed bencode (at byte 7)"},
        {"d1:adi1eee", kParseSyntax, 5, "is not well-formed bencode (at byte 5)"},  // an integer is no key
        {"d1:ali1e", kParseSyntax, 5, "is not well-formed bencode (at byte 5)"},    // the list ends inside the integer
        {"d1:ad1:b9:xyee", kParseTooLong, 8, "is truncated or declares an impossible length (at byte 8)"},
        {"x", kParseSyntax, 0, "is not well-formed bencode (at byte 0)"},
    };
    for (const auto& c : cases) {
        ParseOutcome outcome;
        EXPECT_FALSE(ParseElement(c.text, int64_t(std::strlen(c.text)), ParseLimits{}, outcome)) << c.text;
        EXPECT_EQ(outcome.result, c.result) << c.text;
        EXPECT_EQ(outcome.failed_at, c.at) << c.text;
        EXPECT_EQ(DescribeParseFailure(outcome), c.description) << c.text;
    }
    ParseOutcome outcome;
    EXPECT_TRUE(ParseElement("d1:a1:be", 8, ParseLimits{}, outcome));
    EXPECT_EQ(outcome.result, 8);
    EXPECT_EQ(outcome.failed_at, -1);
}

TEST(Bencode, DeepNestingAndElementCountAreBounded) {
    std::string deep(100000, 'l');
    deep += std::string(100000, 'e');
    EXPECT_EQ(ParseElement(deep), nullptr);  // no stack overflow
    int64_t result = 0;
    ParseElement(deep, &result);
    EXPECT_EQ(result, kParseTooDeep);
    std::string ok = std::string(60, 'l') + "0:" + std::string(60, 'e');
    EXPECT_TRUE(ParseElement(ok));
    std::string many = "l";
    for (int i = 0; i < 100; ++i) many += "0:";
    many += "e";
    ParseLimits limits;
    limits.max_elements = 50;
    EXPECT_EQ(ParseElement(many.data(), int64_t(many.size()), limits), nullptr);
    EXPECT_TRUE(ParseElement(many));
}

TEST(Bencode, BuildingKeepsOrderAndIntegerFlags) {
    auto d = NewDictionary();
    d->AddString("zeta", "last-but-first");
    d->SetInteger("alpha", 0);           // flag set: written as i0e
    d->AppendString("bare", 0, false);  // no integer: a bare string
    d->AppendString("neg", -17, false);  // non-zero integer is written
    auto* files = d->AddList("files");
    files->AppendString("a/b");
    auto* sub = files->AddDictionary();
    sub->SetInteger("length", 5);
    EXPECT_EQ(Encode(*d), "d4:zeta14:last-but-first5:alphai0e4:bare3:negi-17e5:filesl3:a/bd6:lengthi5eeee");
    EXPECT_EQ(EncodedSize(d.get()), int64_t(Encode(*d).size()));
    EXPECT_EQ(d->GetEncodedLength(), int64_t(Encode(*d).size()));
    EXPECT_EQ(d->IntegerOf("alpha"), 0);
    EXPECT_EQ(d->BytesOf("zeta"), "last-but-first");
    EXPECT_EQ(d->ListOf("files")->ChildCount(), 2);
    EXPECT_EQ(d->AppendString("", 1, false), nullptr);
    EXPECT_EQ(d->IntegerOr("missing", -5), -5);
    // Round trip through the parser.
    const std::string bytes = Encode(*d);
    auto back = ParseElement(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(Encode(*back), bytes);
    EXPECT_EQ(back->AsDictionary()->IntegerOf("alpha"), 0);
}

TEST(Bencode, RemoveKeyTakesTheValueWithIt) {
    auto d = ParseElement(std::string_view("d1:ai1e1:b1:x1:cl0:ee"));
    auto* dict = d->AsDictionary();
    EXPECT_TRUE(dict->RemoveKey("b"));
    EXPECT_EQ(Encode(*d), "d1:ai1e1:cl0:ee");
    EXPECT_TRUE(dict->RemoveKey("a"));
    EXPECT_FALSE(dict->RemoveKey("a"));
    EXPECT_TRUE(dict->RemoveKey("c"));
    EXPECT_EQ(Encode(*d), "de");
    EXPECT_EQ(d->GetEncodedLength(), 2);
}

TEST(Bencode, AppendMovesAnElementBetweenContainers) {
    auto a = NewList();
    auto b = NewList();
    QElement* x = a->AppendString("x");
    a->AppendString("y");
    EXPECT_EQ(a->GetEncodedLength(), 8);
    EXPECT_EQ(b->Adopt(x), x);
    EXPECT_EQ(x->GetParent(), b.get());
    EXPECT_EQ(Encode(*a), "l1:ye");
    EXPECT_EQ(Encode(*b), "l1:xe");
    EXPECT_EQ(a->GetEncodedLength(), 5);
    // A container cannot be moved into itself or its own child.
    QListElement* inner = b->AddList();
    EXPECT_EQ(inner->Adopt(b.get()), nullptr);
    auto detached = b->Detach(x);
    ASSERT_TRUE(detached);
    EXPECT_EQ(detached->GetParent(), nullptr);
    EXPECT_TRUE(a->Remove(a->ChildAt(0)));
    EXPECT_EQ(a->ChildCount(), 0);
    EXPECT_FALSE(a->Remove(detached.get()));
}

TEST(Bencode, InvalidElementStopsEncoding) {
    auto d = NewDictionary();
    d->AppendString("k");
    QElement* v = d->Append(std::make_unique<QIntegerElement>());  // never parsed: invalid
    ASSERT_TRUE(v);
    ByteBuffer out;
    EXPECT_FALSE(EncodeElement(d.get(), out));
    EXPECT_EQ(out.View(), "d1:k");
    EXPECT_EQ(EncodedSize(d.get()), 0);
    EXPECT_FALSE(EncodeElement(nullptr, out));
}

TEST(Bencode, TextsAndCodePages) {
    auto l = ParseElement(std::string_view("l3:dir4:file5:a.txte"));
    EXPECT_EQ(l->GetText("/"), "dir/file/a.txt");
    // GBK bytes of "中文" convert to UTF-8 once the code page is set.
    const std::string gbk = "\xd6\xd0\xce\xc4";
    auto d = NewDictionary();
    QElement* name = d->AddString("name", gbk);
    EXPECT_EQ(ConvertedText(*name), gbk);  // code page 0: bytes unchanged
    d->SetCodePage(936);
    EXPECT_EQ(ConvertedText(*name), "中文");
    EXPECT_EQ(ToCodePage("中文", 936), gbk);
    EXPECT_EQ(ToCodePage("plain", 936), "plain");
    QIntegerElement broken;
    ASSERT_GT(broken.Parse("2:\xff\xff", 4), 0);
    broken.SetCodePage(936);
    EXPECT_EQ(ConvertedText(broken), "");  // not valid GBK
}

TEST(ByteBuffer, GrowsAndStaysZeroTerminated) {
    ByteBuffer b;
    EXPECT_EQ(b.Data()[0], 0);
    b.Append("abc");
    EXPECT_EQ(b.Capacity(), 3u + 2048u);
    EXPECT_EQ(b.Data()[3], 0);
    std::string big(5000, 'x');
    b.Append(big);
    EXPECT_EQ(b.Capacity(), 3u + 2048u + 5000u);
    EXPECT_EQ(b.Length(), 5003u);
    EXPECT_EQ(b.Data()[5003], 0);
    b.AppendDecimal(-9223372036854775807LL - 1);
    EXPECT_EQ(b.View().substr(5003), "-9223372036854775808");
    b.Reserve(10, false);
    EXPECT_EQ(b.Length(), 0u);
    EXPECT_EQ(b.Capacity(), 10u);
    ByteBuffer c = b;
    c.Append("q");
    EXPECT_EQ(c.View(), "q");
}

}  // namespace
}  // namespace zl
