#include "app/http_fetch.h"

#include <curl/curl.h>

#include <mutex>

namespace zl::app {
namespace {

constexpr size_t kMaxBody = 16u << 20;

size_t Append(char* data, size_t size, size_t count, void* user) {
    std::string* body = static_cast<std::string*>(user);
    const size_t n = size * count;
    if (body->size() + n > kMaxBody) return 0;  // a document this large is not ours
    body->append(data, n);
    return n;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

}  // namespace

FetchResult HttpGet(const std::string& url, long timeout_seconds) {
    GlobalInit();
    FetchResult r;
    CURL* curl = curl_easy_init();
    if (!curl) {
        r.error = "Failed to create CURL connection";
        return r;
    }
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    if (timeout_seconds > 0) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout_seconds);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeout_seconds);
    }
    if (url.rfind("https", 0) == 0) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_cleanup(curl);
    r.ok = code == CURLE_OK && !(r.status >= 400 && r.status <= 599);
    if (!r.ok) {
        r.error = "Failed to get " + url + " [" + (code != CURLE_OK ? std::string(error[0] ? error : curl_easy_strerror(code))
                                                                     : "HTTP " + std::to_string(r.status)) + "]";
        r.body.clear();
    }
    return r;
}

}  // namespace zl::app
