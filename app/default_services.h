// A stand-in for the statistics uploader where none is wanted: events go to
// the log and are kept in order.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "app/app_services.h"

namespace zl::app {

// Writes each event to the log (category 28) and keeps the codes in order.
class LoggingEventChannel final : public EventChannel {
public:
    bool Start(const std::string& config_path, const std::string& version, const std::string& ca_file) override;
    void Report(const AppEvent& event) override;
    void Stop() override {}
    std::vector<uint32_t> Codes() const;

private:
    mutable std::mutex mutex_;
    std::vector<uint32_t> codes_;
};


}  // namespace zl::app
