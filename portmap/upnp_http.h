// The gateway's HTTP: its root description and SOAP actions, each answer
// bounded in size and time, plain http:// only and no redirects, so that a
// device on the network cannot make us keep whatever it sends.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zl {

struct UpnpHttpLimits {
    size_t max_answer_bytes = 256 * 1024;  // descriptions and SOAP answers are a few KiB
    long connect_ms = 3000;
    long total_ms = 10000;
};

// The body of a 200 answer; nullopt on any failure, another status or an answer above the limit.
std::optional<std::string> UpnpHttpGet(const std::string& url, const UpnpHttpLimits& limits = {});

// Posts the SOAP request for `action` of `service_type` with `arguments` (in
// their order) and returns the answer's body whatever its status (a fault
// comes with 500); nullopt when no answer within the limits arrived.
std::optional<std::string> UpnpSoapCall(const std::string& control_url, const std::string& service_type,
                                        const std::string& action,
                                        const std::vector<std::pair<std::string, std::string>>& arguments,
                                        const UpnpHttpLimits& limits = {});

// The SOAP envelope UpnpSoapCall sends (values escaped for XML).
std::string SoapRequestBody(const std::string& service_type, const std::string& action,
                            const std::vector<std::pair<std::string, std::string>>& arguments);

}  // namespace zl
