#include "engine/core/task/source_lines.h"

#include "engine/base/text.h"

namespace zl {
namespace {

// Every control byte but NUL, and the space.
constexpr std::string_view kTrimmed =
    "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10"
    "\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20";

}  // namespace

std::vector<std::string> SplitSourceLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        lines.emplace_back(Trim(text.substr(start, i - start), kTrimmed));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.emplace_back(Trim(text.substr(start), kTrimmed));
    return lines;
}

}  // namespace zl
