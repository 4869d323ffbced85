#include "app/default_services.h"

#include "app/app_log.h"

namespace zl::app {

bool LoggingEventChannel::Start(const std::string&, const std::string&, const std::string&) { return true; }

void LoggingEventChannel::Report(const AppEvent& event) {
    AppLog("event " + std::to_string(event.code) + " " + event.text + (event.file.empty() ? "" : " " + event.file), 28);
    std::lock_guard lock(mutex_);
    codes_.push_back(event.code);
}

std::vector<uint32_t> LoggingEventChannel::Codes() const {
    std::lock_guard lock(mutex_);
    return codes_;
}

}  // namespace zl::app
