#include "portmap/upnp_http.h"

#include <curl/curl.h>

#include <mutex>

namespace zl {
namespace {

struct Answer {
    std::string body;
    size_t limit = 0;
    bool too_long = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* answer = static_cast<Answer*>(user);
    const size_t bytes = size * count;
    if (answer->body.size() + bytes > answer->limit) {
        answer->too_long = true;
        return 0;  // ends the transfer with an error
    }
    answer->body.append(data, bytes);
    return bytes;
}

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string EscapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// Runs `curl` prepared by the caller; the status, or -1 when the transfer failed.
long Perform(CURL* curl, const std::string& url, const UpnpHttpLimits& limits, Answer& answer) {
    answer.limit = limits.max_answer_bytes;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_ms);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.total_ms);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_answer_bytes));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return result == CURLE_OK && !answer.too_long ? status : -1;
}

}  // namespace

std::optional<std::string> UpnpHttpGet(const std::string& url, const UpnpHttpLimits& limits) {
    GlobalInitOnce();
    CURL* curl = curl_easy_init();
    if (!curl) return std::nullopt;
    Answer answer;
    const long status = Perform(curl, url, limits, answer);
    curl_easy_cleanup(curl);
    if (status != 200) return std::nullopt;
    return std::move(answer.body);
}

std::string SoapRequestBody(const std::string& service_type, const std::string& action,
                            const std::vector<std::pair<std::string, std::string>>& arguments) {
    std::string body =
        "<?xml version=\"1.0\"?>\r\n"
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
        action + " xmlns:u=\"" + EscapeXml(service_type) + "\">";
    for (const auto& [name, value] : arguments) body += "<" + name + ">" + EscapeXml(value) + "</" + name + ">";
    body += "</u:" + action + "></s:Body></s:Envelope>\r\n";
    return body;
}

std::optional<std::string> UpnpSoapCall(const std::string& control_url, const std::string& service_type,
                                        const std::string& action,
                                        const std::vector<std::pair<std::string, std::string>>& arguments,
                                        const UpnpHttpLimits& limits) {
    // The service type comes from the description and goes into a header line.
    for (unsigned char c : service_type + action)
        if (c < 0x20 || c == 0x7f || c == '"') return std::nullopt;
    GlobalInitOnce();
    CURL* curl = curl_easy_init();
    if (!curl) return std::nullopt;
    const std::string body = SoapRequestBody(service_type, action, arguments);
    const std::string soap_action = "SOAPAction: \"" + service_type + "#" + action + "\"";
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: text/xml; charset=\"utf-8\"");
    headers = curl_slist_append(headers, soap_action.c_str());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    Answer answer;
    const long status = Perform(curl, control_url, limits, answer);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    if (status <= 0) return std::nullopt;
    return std::move(answer.body);
}

}  // namespace zl
