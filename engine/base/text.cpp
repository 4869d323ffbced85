#include "engine/base/text.h"

#include "engine/base/hex_digit.h"

namespace zl {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsAlnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool Kept(unsigned char c, PercentKeep keep) {
    switch (keep) {
        case PercentKeep::kAlnum: return IsAlnum(c);
        case PercentKeep::kUnreserved: return IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
        case PercentKeep::kAllAboveSpaceAscii: return c > 0x20 && c < 0x80;
    }
    return false;
}

const char* Digits(HexCase hex_case) { return hex_case == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef"; }

}  // namespace

std::string_view Trim(std::string_view text, std::string_view blanks) {
    const size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
    return true;
}

std::string HexEncode(const void* bytes, size_t size, HexCase hex_case) {
    const char* digits = Digits(hex_case);
    const auto* in = static_cast<const unsigned char*>(bytes);
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[in[i] >> 4]);
        out.push_back(digits[in[i] & 15]);
    }
    return out;
}

std::string PercentEncode(std::string_view bytes, PercentKeep keep, HexCase hex_case) {
    const char* digits = Digits(hex_case);
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (Kept(c, keep)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? HexDigitValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexDigitValue(text[i + 2]) : -1;
        if (low >= 0) {
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace zl
