// Stand-ins used until (or where) the real statistics uploader and UPnP
// mapping are not wanted: events go to the log, and the port is chosen by a
// local probe without a gateway mapping.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "app/app_services.h"

namespace zl::app {

// Writes each event to the log (category 28) and keeps the codes in order.
class LoggingEventChannel final : public EventChannel {
public:
    bool Start(const std::string& config_path, const std::string& version) override;
    void Report(const AppEvent& event) override;
    void Stop() override {}
    std::vector<uint32_t> Codes() const;

private:
    mutable std::mutex mutex_;
    std::vector<uint32_t> codes_;
};

// The excluded ports of the listening-port search.
bool IsExcludedPort(int32_t port);
// The first port above 40000 + (random mod 10000) that is not excluded and
// that a TCP socket can bind, wrapping from 50000 to 40000; 0 when none is.
int32_t ProbeListenPort(uint32_t random);

class ProbingPortChooser final : public PortChooser {
public:
    int32_t ChooseAndMap() override;
};

}  // namespace zl::app
