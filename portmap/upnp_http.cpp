#include "portmap/upnp_http.h"

#include "engine/base/curl_transfer.h"

namespace zl {
namespace {

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

CurlRequest Request(const std::string& url, const UpnpHttpLimits& limits) {
    CurlRequest request;
    request.url = url;
    request.protocols = "http";
    request.connect_ms = limits.connect_ms;
    request.total_ms = limits.total_ms;
    request.max_body = limits.max_answer_bytes;
    return request;
}

}  // namespace

std::optional<std::string> UpnpHttpGet(const std::string& url, const UpnpHttpLimits& limits) {
    CurlAnswer answer = CurlTransfer(Request(url, limits));
    if (!answer.transferred || answer.status != 200) return std::nullopt;
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
    CurlRequest request = Request(control_url, limits);
    request.post_body = SoapRequestBody(service_type, action, arguments);
    request.headers = {"Content-Type: text/xml; charset=\"utf-8\"", "SOAPAction: \"" + service_type + "#" + action + "\"",
                       "Expect:"};
    CurlAnswer answer = CurlTransfer(request);
    if (!answer.transferred || answer.status <= 0) return std::nullopt;
    return std::move(answer.body);
}

}  // namespace zl
