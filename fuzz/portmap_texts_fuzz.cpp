// Texts from outside the port-mapping code: a gateway's root description (XML),
// its SOAP replies, URLs and SSDP answers, and the kernel's socket table (/proc/net/tcp).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "portmap/igd_description.h"
#include "portmap/port_choice.h"
#include "portmap/ssdp_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)zl::ParseIgdDescription(text, "http://127.0.0.1:5000/rootDesc.xml");
    (void)zl::ParseIgdDescription(text, "");
    (void)zl::ParseWanConnectionService(text, "http://127.0.0.1:5000/rootDesc.xml");
    (void)zl::ParseProcNetTcpLocalPorts(text);
    int error_code = 0;
    (void)zl::IsSoapActionResponse(text, "AddPortMapping", &error_code);
    (void)zl::SameUrlHost(text, "http://127.0.0.1:5000/rootDesc.xml");
    (void)zl::ParseSsdpAnswer(text);
    return 0;
}
