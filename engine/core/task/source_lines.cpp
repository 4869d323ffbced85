#include "engine/core/task/source_lines.h"

namespace zl {
namespace {

bool IsTrimmed(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 1 && b <= 32;
}

std::string Trim(std::string_view line) {
    size_t begin = 0, end = line.size();
    while (begin < end && IsTrimmed(line[begin])) ++begin;
    while (end > begin && IsTrimmed(line[end - 1])) --end;
    return std::string(line.substr(begin, end - begin));
}

}  // namespace

std::vector<std::string> SplitSourceLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        lines.push_back(Trim(text.substr(start, i - start)));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(Trim(text.substr(start)));
    return lines;
}

}  // namespace zl
