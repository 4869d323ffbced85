// Source and server lists come from the server configuration document: split
// them, judge them as duplicates of each other, and check the line invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/core/api/duplicate_rule.h"
#include "engine/core/task/source_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const size_t half = all.find('\0');
    const std::string_view first = all.substr(0, half == std::string_view::npos ? all.size() : half);
    const std::string_view second = half == std::string_view::npos ? std::string_view() : all.substr(half + 1);
    const auto a = zl::SplitSourceLines(first);
    const auto b = zl::SplitSourceLines(second);
    for (const std::string& line : a) {
        if (line.find_first_of("\r\n") != std::string::npos) std::abort();
        if (!line.empty()) {
            const auto front = static_cast<unsigned char>(line.front());
            const auto back = static_cast<unsigned char>(line.back());
            if ((front >= 1 && front <= 32) || (back >= 1 && back <= 32)) std::abort();
        }
    }
    const std::string empty;
    const zl::TaskIdentityView n{false, false, false, &empty, &empty, &a};
    const zl::TaskIdentityView r{false, false, false, &empty, &empty, &b};
    const bool dup = zl::IsDuplicateTask(n, r);
    // A task is always a duplicate of itself when it has a non-empty line.
    bool any = false;
    for (const std::string& line : a) any = any || !line.empty();
    if (zl::IsDuplicateTask(n, n) != any) std::abort();
    (void)dup;
    return 0;
}
