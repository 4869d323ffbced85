#include "telemetry/form_poster.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace zl {
namespace {

constexpr size_t kMaxAnswerBytes = 64 * 1024;

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* answer = static_cast<std::string*>(user);
    const size_t bytes = size * count;
    if (answer->size() < kMaxAnswerBytes) answer->append(data, std::min(bytes, kMaxAnswerBytes - answer->size()));
    return bytes;
}

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool CurlFormPoster::Post(const std::string& url, const std::string& body, const PostLimits& limits,
                          std::string& answer) {
    GlobalInitOnce();
    answer.clear();
    CURL* curl = curl_easy_init();
    if (!curl) return false;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect_ms));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.total_ms));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return result == CURLE_OK;
}

bool AnswerAccepted(const std::string& answer) {
    static const std::string kKey = "\"error\":";
    for (size_t at = answer.find(kKey); at != std::string::npos; at = answer.find(kKey, at + 1)) {
        size_t i = at + kKey.size();
        while (i < answer.size() && (answer[i] == ' ' || answer[i] == '\t')) ++i;
        if (i < answer.size() && answer[i] == '0' &&
            (i + 1 == answer.size() || !(std::isdigit(static_cast<unsigned char>(answer[i + 1])) || answer[i + 1] == '.')))
            return true;
    }
    return false;
}

}  // namespace zl
