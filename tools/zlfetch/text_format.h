// Texts zlfetch prints: byte counts and JSON strings.
#pragma once
#include <string>

namespace zlfetch {

// "512 B", "1.5 KiB", "20.0 MiB", ...
std::string HumanBytes(double bytes);
// The text with quotes, backslashes and control characters escaped for a JSON
// string; bytes that are no UTF-8 character become \ufffd, so the JSON stays valid.
std::string JsonEscape(const std::string& text);

}  // namespace zlfetch
