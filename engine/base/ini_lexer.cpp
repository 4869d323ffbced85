#include "engine/base/ini_lexer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/base/text.h"

namespace zl {
namespace {

constexpr std::string_view kIniBlanks = " \t\r\v\f";

std::string_view Unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

std::vector<std::string_view> SplitIniLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

IniLine LexIniLine(std::string_view raw) {
    IniLine line;
    const std::string_view t = Trim(raw, kIniBlanks);
    if (t.empty()) return line;
    if (t.front() == ';' || t.front() == '#') {
        line.kind = IniLineKind::kComment;
        return line;
    }
    line.kind = IniLineKind::kOther;
    if (t.front() == '[') {
        const size_t close = t.find(']');
        if (close == std::string_view::npos) return line;
        line.kind = IniLineKind::kSection;
        line.name = Trim(t.substr(1, close - 1), kIniBlanks);
        return line;
    }
    const size_t equals = t.find('=');
    if (equals == std::string_view::npos || equals == 0) return line;
    line.kind = IniLineKind::kKey;
    line.name = Trim(t.substr(0, equals), kIniBlanks);
    line.value = Unquoted(Trim(t.substr(equals + 1), kIniBlanks));
    return line;
}

std::optional<std::string> ReadIniText(const std::string& path) {
    // Non-blocking, so that a FIFO in the file's place cannot hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 && size_t(st.st_size) <= kMaxIniBytes) {
        std::string bytes;
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || bytes.size() + size_t(n) > kMaxIniBytes) break;
            if (n == 0) {
                text = std::move(bytes);
                break;
            }
            bytes.append(buffer, size_t(n));
        }
    }
    ::close(fd);
    return text;
}

}  // namespace zl
