// The content of the statistics configuration file ("Serverlist.ini") that the
// program carries built in, for a statistics server at `host_port`.
#pragma once
#include <string>

namespace zl {

// Sections "SubmitEventDownload" (single events, "/zlsubmit/eventInfoSubmit"),
// "SubmitEventDownloadSeveral" (batches, "/zlsubmit/eventListSubmit") and
// "OsTypeCode". The demo's server is "127.0.0.1:8080".
std::string DefaultStatisticsConfig(const std::string& host_port = "127.0.0.1:8080");

}  // namespace zl
