// Validation of the clients' form posts: a "data" field holding a JSON array
// of {"code": "<8 digits>", "info": "<JSON object text>"} items. Everything
// is checked before anything is stored: the size of the body and of the
// array, UTF-8, the nesting depth, the required info members and the formats
// of the members that identify and count an event. A refused post names
// its first fault.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "tools/zlstats/stat_event.h"

namespace zl::stats {

inline constexpr size_t kMaxPostBytes = 1 << 20;
inline constexpr size_t kMaxPostEvents = 1000;

struct PostRefused {
    std::string reason;
};

std::variant<StatBatch, PostRefused> ParsePost(std::string_view form_body);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool ValidUtf8(std::string_view text);

// The value of `name` in an application/x-www-form-urlencoded body; false when
// the field is missing, repeated or badly escaped.
bool FormField(std::string_view body, std::string_view name, std::string& value, std::string& error);

}  // namespace zl::stats
