// One HTTP(S) GET of a small document (the server configuration) through
// libcurl, with a time limit. The server's certificate is checked against the
// system's store, or against the CA file given (a site with a certificate of
// its own, such as the local package site).
#pragma once
#include <string>

namespace zl::app {

struct FetchResult {
    bool ok = false;  // transferred and the status is not 400..599
    long status = 0;
    std::string body;
    std::string error;  // "Failed to get " + URL, with curl's reason after it
    bool certificate_refused = false;  // the server's certificate did not verify
};

// `timeout_seconds` 0 means none (never used by the application); `ca_file`
// empty: the system's store.
FetchResult HttpGet(const std::string& url, long timeout_seconds, const std::string& ca_file);

}  // namespace zl::app
