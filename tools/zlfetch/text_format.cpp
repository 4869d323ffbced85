#include "tools/zlfetch/text_format.h"

#include <cmath>
#include <cstdio>

namespace zlfetch {

std::string HumanBytes(double bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

namespace {

// Bytes of the well-formed UTF-8 character at text[at], or 0 when the bytes
// there form none (a stray byte, a cut, an overlong form, a surrogate, or a
// code point beyond U+10FFFF).
size_t Utf8CharLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string ValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            out += text[at++];
        } else if (const size_t length = Utf8CharLength(text, at)) {
            out.append(text, at, length);
            at += length;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD for the byte that starts no character
            ++at;
        }
    }
    return out;
}

double Rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

std::string JsonText(const Json::Value& value, bool indented) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indented ? "  " : "";
    builder["enableYAMLCompatibility"] = true;  // "name": value
    builder["emitUTF8"] = true;
    builder["precisionType"] = "decimal";
    builder["precision"] = 3;
    return Json::writeString(builder, value);
}

}  // namespace zlfetch
