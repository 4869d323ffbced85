// Source lists arrive as one text with a URL per line.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zl {

// Splits at every CR or LF (CR LF is one break) and trims bytes 1..32 from both
// ends of each line. Empty lines are kept, so line positions stay meaningful.
// A text ending in a line break yields no extra empty line after it.
std::vector<std::string> SplitSourceLines(std::string_view text);

}  // namespace zl
