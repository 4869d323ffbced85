// IPv4 address helpers. Addresses are 32-bit values in network byte order;
// 0 and 255.255.255.255 both mean "no address".
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace zl {

inline constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

inline bool IsValidAddress(uint32_t address) { return address != 0 && address != kNoAddress; }
inline bool IsValidPort(int64_t port) { return port >= 1 && port <= 65535; }

// "%d.%d.%d.%d" of the address's four bytes in memory order.
std::string FormatAddress(uint32_t address);

// Up to four decimal components separated by dots, the first in the high byte;
// components have no range limit (300 spills into the next byte). Only digits
// and dots are accepted. Returns the address in network order, or 0 when the
// text is not of that form or yields 0.
uint32_t ParseDottedLoose(std::string_view text);

// Whether the text is made only of digits and dots (and is not empty).
bool IsDigitsAndDots(std::string_view text);

// inet_addr: a strict IPv4 literal (a, a.b, a.b.c or a.b.c.d, decimal, octal or
// hex components) in network order, or kNoAddress.
uint32_t InetAddr(std::string_view text);

// First octet 0..6, 10 or 127; 192.168/16, 169.254/16, 172.16/12.
bool IsPrivateAddress(uint32_t address);

}  // namespace zl
