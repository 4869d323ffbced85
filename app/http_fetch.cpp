#include "app/http_fetch.h"

#include "engine/base/curl_transfer.h"

namespace zl::app {

FetchResult HttpGet(const std::string& url, long timeout_seconds, const std::string& ca_file) {
    CurlRequest request;
    request.url = url;
    request.max_redirects = 5;
    request.connect_ms = request.total_ms = timeout_seconds * 1000;
    request.max_body = 16u << 20;  // a document this large is not ours
    request.ca_file = ca_file;
    CurlAnswer answer = CurlTransfer(request);
    FetchResult r;
    r.status = answer.status;
    r.certificate_refused = answer.certificate_refused;
    r.ok = answer.transferred && !(r.status >= 400 && r.status <= 599);
    if (r.ok) {
        r.body = std::move(answer.body);
    } else {
        r.error = "Failed to get " + url + " [" + (!answer.transferred ? answer.error : "HTTP " + std::to_string(r.status)) + "]";
    }
    return r;
}

}  // namespace zl::app
