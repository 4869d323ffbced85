#include "engine/base/curl_transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace zl {
namespace {

struct Sink {
    std::string* body;
    size_t limit;
    bool truncate;
    bool too_long = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t bytes = size * count;
    if (sink->body->size() + bytes <= sink->limit) {
        sink->body->append(data, bytes);
        return bytes;
    }
    sink->too_long = true;
    if (!sink->truncate) return 0;  // ends the transfer with an error
    sink->body->append(data, sink->limit - std::min(sink->limit, sink->body->size()));
    return bytes;
}

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool CertificateRefused(CURLcode code) {
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE || code == CURLE_SSL_ISSUER_ERROR ||
           code == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
}

}  // namespace

CurlAnswer CurlTransfer(const CurlRequest& request) {
    GlobalInitOnce();
    CurlAnswer answer;
    CURL* curl = curl_easy_init();
    if (!curl) {
        answer.error = "Failed to create CURL connection";
        return answer;
    }
    char error[CURL_ERROR_SIZE] = {};
    Sink sink{&answer.body, request.max_body, request.overflow == CurlRequest::Overflow::kTruncate};
    curl_slist* headers = nullptr;
    for (const std::string& line : request.headers) headers = curl_slist_append(headers, line.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, request.protocols.c_str());
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, request.protocols.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, request.max_redirects > 0 ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, request.max_redirects);
    if (!request.use_proxy) curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (request.connect_ms > 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, request.connect_ms);
    if (request.total_ms > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.total_ms);
    if (request.overflow == CurlRequest::Overflow::kFail)
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_body));
    if (!request.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, request.ca_file.c_str());
    if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (request.post_body) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.post_body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.post_body->size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    answer.too_long = sink.too_long;
    answer.transferred = code == CURLE_OK && !(sink.too_long && !sink.truncate);
    if (code != CURLE_OK) {
        answer.error = error[0] ? error : curl_easy_strerror(code);
        answer.certificate_refused = CertificateRefused(code);
    } else if (!answer.transferred) {
        answer.error = "the answer is longer than " + std::to_string(request.max_body) + " bytes";
    }
    return answer;
}

std::optional<CurlUrlAuthority> CurlParseAuthority(const std::string& url) {
    CURLU* handle = curl_url();
    if (!handle) return std::nullopt;
    std::optional<CurlUrlAuthority> authority;
    char* host = nullptr;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        authority.emplace();
        authority->host = host;
        for (char& c : authority->host)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        char* part = nullptr;
        for (const CURLUPart which : {CURLUPART_USER, CURLUPART_PASSWORD}) {
            if (curl_url_get(handle, which, &part, 0) == CURLUE_OK) authority->has_user = true;
            curl_free(part);
            part = nullptr;
        }
    }
    curl_free(host);
    curl_url_cleanup(handle);
    return authority;
}

}  // namespace zl
