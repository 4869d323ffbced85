// One HTTP(S) GET of a small document (the server configuration) through
// libcurl, with a time limit. Certificates are not checked: the document is
// served by the configuration server with a certificate of its own.
#pragma once
#include <string>

namespace zl::app {

struct FetchResult {
    bool ok = false;  // transferred and the status is not 400..599
    long status = 0;
    std::string body;
    std::string error;  // "Failed to get " + URL, with curl's reason after it
};

// `timeout_seconds` 0 means none (never used by the application).
FetchResult HttpGet(const std::string& url, long timeout_seconds);

}  // namespace zl::app
