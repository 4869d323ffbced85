// Command lines an FTP source writes, and the values it reads from replies.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zl {

// The password sent when the URL names no user.
inline constexpr std::string_view kFtpAnonymousUser = "anonymous";
inline constexpr std::string_view kFtpAnonymousPassword = "zephyrloader@example.com";

// "verb" or "verb argument", ending in "\r\n". Empty when the argument holds
// CR, LF or NUL, which would smuggle a second command onto the connection.
std::optional<std::string> FtpCommandLine(std::string_view verb, std::string_view argument = {});

// The folder "cwd" changes to: the URL path up to (not including) its last
// "/", or "/" when that "/" is the first character or the path has none.
std::string FtpDirectoryOf(std::string_view url_path);

// The numbers of a PASV reply. Only the port is used: the data connection
// goes to the control connection's address, never to one a server names.
struct FtpPasvReply {
    std::array<uint8_t, 6> numbers{};
    uint16_t port = 0;
};

// Parses the text of a 227 reply: the six numbers between "(" and ")" (or,
// without parentheses, from the first digit on), separated by "," and
// blanks. Fails unless there are exactly six numbers, each 0..255, and the
// port is not 0.
std::optional<FtpPasvReply> ParseFtpPasvReply(std::string_view text);

// The size in a 213 reply text: a non-negative decimal number.
std::optional<int64_t> ParseFtpSizeReply(std::string_view text);

}  // namespace zl
