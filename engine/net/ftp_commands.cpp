#include "engine/net/ftp_commands.h"

#include <charconv>

namespace zl {

std::optional<std::string> FtpCommandLine(std::string_view verb, std::string_view argument) {
    if (argument.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return std::nullopt;
    std::string line(verb);
    if (!argument.empty()) line.append(" ").append(argument);
    line.append("\r\n");
    return line;
}

std::string FtpDirectoryOf(std::string_view url_path) {
    size_t last = url_path.rfind('/');
    if (last == std::string_view::npos || last == 0) return "/";
    return std::string(url_path.substr(0, last));
}

std::optional<FtpPasvReply> ParseFtpPasvReply(std::string_view text) {
    size_t open = text.find('(');
    if (open != std::string_view::npos) {
        size_t close = text.find(')', open);
        if (close == std::string_view::npos) return std::nullopt;
        text = text.substr(open + 1, close - open - 1);
    } else {
        size_t digit = text.find_first_of("0123456789");
        if (digit == std::string_view::npos) return std::nullopt;
        text = text.substr(digit);
        while (!text.empty() && (text.back() == '.' || text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    }
    FtpPasvReply reply;
    size_t count = 0;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ',' || c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        size_t digits = i - start;
        if (digits == 0 || digits > 3 || count == 6) return std::nullopt;
        int value = 0;
        for (size_t k = start; k < i; ++k) value = value * 10 + (text[k] - '0');
        if (value > 255) return std::nullopt;
        reply.numbers[count++] = static_cast<uint8_t>(value);
    }
    if (count != 6) return std::nullopt;
    reply.port = static_cast<uint16_t>(reply.numbers[4] * 256 + reply.numbers[5]);
    if (reply.port == 0) return std::nullopt;
    return reply;
}

std::optional<int64_t> ParseFtpSizeReply(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty() || text.size() > 19) return std::nullopt;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

}  // namespace zl
