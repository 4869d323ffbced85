#include "engine/meta/link_text.h"

#include <climits>

#include "engine/base/hex_digit.h"
#include "engine/base/text.h"
#include "engine/meta/block_info.h"
#include "engine/meta/storage_layout.h"

namespace zl {
namespace {

constexpr std::string_view kMarkers[] = {kLinkHashMarker, kLinkSizeMarker, kLinkLengthMarker, kLinkTrackerMarker,
                                         kLinkEndMarker};
constexpr std::string_view kSchemeStandIn = "$$$";
constexpr std::string_view kSchemeSeparator = "://";

bool Fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

// The text right after the first occurrence of `marker`; false when absent.
bool After(std::string_view text, std::string_view marker, std::string_view* rest) {
    const size_t at = text.find(marker);
    if (at == std::string_view::npos) return false;
    *rest = text.substr(at + marker.size());
    return true;
}

// A decimal number after optional leading blanks, read up to the first
// non-digit: nothing when there is no digit or it does not fit 63 bits.
std::optional<int64_t> LeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string Quoted(std::string_view marker) { return "\"" + std::string(marker) + "\""; }

}  // namespace

bool LooksLikeLinkText(std::string_view text) {
    for (std::string_view marker : kMarkers)
        if (text.find(marker) != std::string_view::npos) return true;
    return false;
}

std::optional<LinkText> ParseLinkText(std::string_view text, std::string* error) {
    for (std::string_view marker : kMarkers)
        if (text.find(marker) == std::string_view::npos) {
            Fail(error, "the link text has no " + Quoted(marker) + " marker");
            return std::nullopt;
        }
    LinkText link;
    std::string_view rest;

    After(text, kLinkHashMarker, &rest);
    if (rest.size() < 2 * kSha1DigestSize) {
        Fail(error, "the hash after " + Quoted(kLinkHashMarker) + " is not 40 hexadecimal digits");
        return std::nullopt;
    }
    for (size_t i = 0; i < kSha1DigestSize; ++i) {
        const int high = HexDigitValue(rest[2 * i]), low = HexDigitValue(rest[2 * i + 1]);
        if (high < 0 || low < 0) {
            Fail(error, "the hash after " + Quoted(kLinkHashMarker) + " is not 40 hexadecimal digits");
            return std::nullopt;
        }
        link.info_hash[i] = uint8_t(high << 4 | low);
    }

    After(text, kLinkSizeMarker, &rest);
    const std::optional<int64_t> size = LeadingNumber(rest);
    if (!size || *size <= 0) {
        Fail(error, "the size after " + Quoted(kLinkSizeMarker) + " is not a positive number of bytes");
        return std::nullopt;
    }
    link.size = *size;

    After(text, kLinkLengthMarker, &rest);
    const std::optional<int64_t> length = LeadingNumber(rest);
    if (!length || *length <= 0 || *length % kBlockSize != 0 || *length > kMaxPieceLength) {
        Fail(error, "the piece length after " + Quoted(kLinkLengthMarker) +
                        " is not a positive multiple of 16384 up to 64 MiB");
        return std::nullopt;
    }
    link.piece_length = *length;
    const BlockInfo geometry(link.size, link.piece_length);
    if (geometry.empty() || geometry.piece_count() > kMaxLinkTextPieces) {
        Fail(error, "the link text describes too many pieces");
        return std::nullopt;
    }

    After(text, kLinkTrackerMarker, &rest);
    const size_t end = rest.find(kLinkEndMarker);
    if (end == std::string_view::npos) {
        Fail(error, "the link text has no " + Quoted(kLinkEndMarker) + " after " + Quoted(kLinkTrackerMarker));
        return std::nullopt;
    }
    link.tracker = std::string(rest.substr(0, end));
    const size_t stand_in = link.tracker.find(kSchemeStandIn);
    if (stand_in != std::string::npos && stand_in != 0)
        link.tracker.replace(stand_in, kSchemeStandIn.size(), kSchemeSeparator);
    return link;
}

std::string FormatLinkText(const LinkText& link) {
    std::string tracker = link.tracker;
    const size_t scheme = tracker.find(kSchemeSeparator);
    if (scheme != std::string::npos && scheme != 0) tracker.replace(scheme, kSchemeSeparator.size(), kSchemeStandIn);
    std::string text;
    text.append(kLinkHashMarker).append(HexEncode(link.info_hash));
    text.append(kLinkSizeMarker).append(std::to_string(link.size));
    text.append(kLinkLengthMarker).append(std::to_string(link.piece_length));
    text.append(kLinkTrackerMarker).append(tracker);
    text.append(kLinkEndMarker);
    return text;
}

}  // namespace zl
