// What zlfetch get accepts as a source, a tracker or a known peer: each value
// is checked before anything starts, so a value the engine cannot use is
// refused at once with the reason instead of waiting silently.
#pragma once
#include <cstdint>
#include <string>

namespace zlfetch {

// http://HOST[:PORT]/... or ftp://[USER[:PASS]@]HOST[:PORT]/... with an IPv4
// address or a host name. False with *why otherwise.
bool CheckSource(const std::string& url, std::string* why);
// http://... or udp://... announce URLs.
bool CheckTracker(const std::string& url, std::string* why);
// A.B.C.D:PORT; the source text the engine takes ("btnode://A.B.C.D:PORT").
bool ParsePeer(const std::string& text, std::string* source, std::string* why);
// HOST:PORT of a DHT node to join through; the source text the engine takes ("node://HOST:PORT").
bool ParseDhtNode(const std::string& text, std::string* source, std::string* why);
// A dotted IPv4 address in network order.
bool ParseAddress(const std::string& text, uint32_t* address, std::string* why);

}  // namespace zlfetch
