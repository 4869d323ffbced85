// The statistics events the application reports, by name; the codes are the
// statistics server's.
#pragma once
#include <cstdint>

namespace zl::app {

// The server configuration's certificate did not verify (the text says why);
// the document is not used and the download goes on with the mirrors it has.
inline constexpr uint32_t kEventConfigCertificateRefused = 11500107;

}  // namespace zl::app
