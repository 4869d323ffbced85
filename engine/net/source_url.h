// Turns a source text ("http://", "ftp://", "tracker://<url>", "btnode://a.b.c.d:port")
// into the identity's kind, host, port, address and parsed record.
#pragma once
#include <string>
#include <string_view>

#include "engine/net/peer_id.h"

namespace zl {

class TResolver;

inline constexpr size_t kMaxSourceTextBytes = 4096;
// The password sent for an FTP URL without user information.
inline constexpr const char* kAnonymousFtpPassword = "zephyrloader@example.com";

// Parses identity.text. Success sets the parsed flag. A host that does not
// resolve sets the invalid address and the resolve-failed flag and fails.
// Texts longer than kMaxSourceTextBytes, unknown schemes, empty hosts and
// ports outside 1..65535 fail without touching the resolver.
bool ParseSourceUrl(TPeerId& identity, TResolver& resolver);

}  // namespace zl
