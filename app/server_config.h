// The server configuration document: the P2P switch, the HTTP mirrors of each
// package file and the expiry notice. Parsing is separate from fetching and
// from handing the mirrors to the engine, so every rule can be tested on text.
#pragma once
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/package_table.h"

namespace zl::app {

struct MirrorSource {
    std::string url;   // "http://" + ip + middle-dir + file-name
    std::string host;  // the "host-name" attribute, or "null"
};

struct ServerConfig {
    // 0 at least one source; -2 a malformed document or no source; -3 an
    // unexpected failure (the fetch's -1 is the caller's).
    int result = -2;
    bool has_switch = false;  // the p2p-switch was read (even when no source followed)
    bool p2p = false;         // exactly "on"
    std::array<std::vector<MirrorSource>, kPackageFiles> sources;
    int rejected = 0;  // mirror entries refused for unsafe fields
};

// `skip(i)`: file i is complete (and not the one being verified), so its
// resource adds nothing.
ServerConfig WalkServerConfig(std::string_view xml, const PackageTable& table, const std::function<bool(int)>& skip);

struct ExpiryNotice {
    bool expired = false;  // "expired" is exactly "true"
    std::string message;
    std::string url;
};
// Any parse failure counts as not expired.
ExpiryNotice ReadExpiry(std::string_view xml);

// host or host:port with a host of letters, digits, '.', '-' and a port 1..65535.
bool IsSafeHostPort(std::string_view text);
// Non-empty, without control characters or blanks.
bool IsSafeField(std::string_view text);
// An http:// or https:// URL without control characters or blanks.
bool IsWebUrl(std::string_view url);

}  // namespace zl::app
