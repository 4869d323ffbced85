#include "engine/meta/bencode.h"

#include <iconv.h>

#include <cerrno>

namespace zl {

std::unique_ptr<QElement> ParseElement(const void* bytes, int64_t length, const ParseLimits& limits,
                                       ParseOutcome& outcome) {
    outcome = ParseOutcome{};
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    if (!p || length <= 0 || p[0] == 0) return nullptr;
    std::unique_ptr<QElement> e;
    if (p[0] == 'd' || p[0] == 'D') e = std::make_unique<QDictionaryElement>();
    else if (p[0] == 'l' || p[0] == 'L') e = std::make_unique<QListElement>();
    else if (p[0] >= '0' && p[0] <= '9') e = std::make_unique<QIntegerElement>();
    else {
        outcome.result = kParseSyntax;
        outcome.failed_at = 0;
        return nullptr;
    }
    e->Parse(p, length, limits, outcome);
    if (outcome.result <= 0 || !e->IsValid()) {
        // Bytes were given, so a failure is a malformed element, never "nothing".
        if (outcome.result >= 0) outcome.result = kParseSyntax;
        if (outcome.failed_at < 0) outcome.failed_at = 0;
        return nullptr;
    }
    return e;
}

std::unique_ptr<QElement> ParseElement(const void* bytes, int64_t length, const ParseLimits& limits,
                                       int64_t* result) {
    ParseOutcome outcome;
    std::unique_ptr<QElement> e = ParseElement(bytes, length, limits, outcome);
    if (result) *result = e ? outcome.result : (outcome.result > 0 ? int64_t(kParseSyntax) : outcome.result);
    return e;
}

std::string DescribeParseFailure(const ParseOutcome& outcome) {
    std::string text;
    switch (outcome.result) {
        case kParseTooDeep: text = "nests too deeply or holds too many values"; break;
        case kParseTooLong: text = "is truncated or declares an impossible length"; break;
        case kParseNothing: text = "is empty"; break;
        default: text = "is not well-formed bencode"; break;
    }
    if (outcome.failed_at >= 0) text += " (at byte " + std::to_string(outcome.failed_at) + ")";
    return text;
}

std::unique_ptr<QElement> ParseElement(const void* bytes, int64_t length, const ParseLimits& limits) {
    return ParseElement(bytes, length, limits, nullptr);
}

std::unique_ptr<QElement> ParseElement(std::string_view bytes, int64_t* result) {
    return ParseElement(bytes.data(), int64_t(bytes.size()), ParseLimits{}, result);
}

std::unique_ptr<QDictionaryElement> NewDictionary() { return std::make_unique<QDictionaryElement>(); }
std::unique_ptr<QListElement> NewList() { return std::make_unique<QListElement>(); }

int64_t EncodedSize(const QElement* e) {
    if (!e || !e->IsValid()) return 0;
    if (e->IsString() || e->IsBareInteger()) return e->GetEncodedLength();
    int64_t size = e->GetType() == kElementSequence ? 0 : 2;
    for (int64_t i = 0, n = e->ChildCount(); i < n; ++i) {
        const int64_t child = EncodedSize(e->ChildAt(i));
        if (child <= 0) return 0;
        size += child;
    }
    return size;
}

namespace {

bool EncodeInto(const QElement* e, ByteBuffer& out) {
    if (!e || !e->IsValid()) return false;
    switch (e->GetType()) {
    case kElementString: {
        const std::string_view bytes = e->GetBytes();
        if (!out.AppendDecimal(int64_t(bytes.size())) || !out.AppendByte(':') || !out.Append(bytes)) return false;
        if (e->HasInteger()) {
            if (!out.AppendByte('i') || !out.AppendDecimal(e->GetInteger()) || !out.AppendByte('e')) return false;
        }
        return true;
    }
    case kElementInteger:
        return out.AppendByte('i') && out.AppendDecimal(e->GetInteger()) && out.AppendByte('e');
    case kElementDictionary:
    case kElementList:
    case kElementSequence: {
        const bool bracketed = e->GetType() != kElementSequence;
        if (bracketed && !out.AppendByte(e->GetType() == kElementDictionary ? 'd' : 'l')) return false;
        for (int64_t i = 0, n = e->ChildCount(); i < n; ++i)
            if (!EncodeInto(e->ChildAt(i), out)) return false;
        return !bracketed || out.AppendByte('e');
    }
    default:
        return false;
    }
}

}  // namespace

bool EncodeElement(const QElement* e, ByteBuffer& buffer) {
    if (!e) return false;
    const int64_t size = EncodedSize(e);
    if (buffer.Capacity() - buffer.Length() < size_t(size) + 1024)
        buffer.Reserve(buffer.Length() + size_t(size) + 1024, true);
    return EncodeInto(e, buffer);
}

std::string Encode(const QElement& element) {
    ByteBuffer buffer;
    if (!EncodeElement(&element, buffer)) return {};
    return buffer.ToString();
}

// ---------------------------------------------------------------- code pages

std::string IconvNameOfCodePage(int code_page) {
    switch (code_page) {
    case 65001: return "UTF-8";
    case 54936: return "GB18030";
    case 20936: return "GB2312";
    case 936: return "GBK";
    case 950: return "BIG5";
    case 932: return "CP932";
    case 949: return "CP949";
    default: return "CP" + std::to_string(code_page);
    }
}

namespace {

bool PrintableAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

std::string Convert(std::string_view in, const std::string& to, const std::string& from) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == iconv_t(-1)) return {};
    std::string out(in.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char* dst = out.data();
    size_t dst_left = out.size();
    size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    if (r != size_t(-1)) r = iconv(cd, nullptr, nullptr, &dst, &dst_left);
    iconv_close(cd);
    if (r == size_t(-1) || src_left != 0) return {};
    out.resize(out.size() - dst_left);
    return out;
}

}  // namespace

std::string ConvertedText(const QElement& element) {
    if (!element.IsValid()) return {};
    const std::string_view bytes = element.GetBytes();
    if (bytes.empty()) return {};
    if (element.GetCodePage() == 0 || PrintableAscii(bytes)) return std::string(bytes);
    return Convert(bytes, "UTF-8", IconvNameOfCodePage(element.GetCodePage()));
}

std::string ToCodePage(std::string_view text, int code_page) {
    if (code_page == 0 || PrintableAscii(text)) return std::string(text);
    return Convert(text, IconvNameOfCodePage(code_page), "UTF-8");
}

}  // namespace zl
