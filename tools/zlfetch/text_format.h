// Texts zlfetch prints: byte counts, and JSON through jsoncpp.
#pragma once
#include <json/json.h>

#include <string>

namespace zlfetch {

// "512 B", "1.5 KiB", "20.0 MiB", ...
std::string HumanBytes(double bytes);
// The text with every byte that starts no well-formed UTF-8 character replaced
// by U+FFFD, so that a JSON string of it stays valid (valid characters pass unchanged).
std::string ValidUtf8(const std::string& text);
// `value` rounded to `decimals` places, as the JSON figures are shown.
double Rounded(double value, int decimals);
// `value` as JSON: one line (the per-second objects) or indented (a report);
// "name": value pairs, UTF-8 as it is, decimals up to three places.
std::string JsonText(const Json::Value& value, bool indented = false);

}  // namespace zlfetch
