// The controller's services on the real statistics uploader and the real
// port choice and gateway mapping.
#pragma once
#include <memory>

#include "app/app_services.h"

namespace zl {
class PortMapper;
}

namespace zl::app {

// Events go to the statistics uploader (started with the configuration the
// controller extracted); Stop drains and posts what is queued.
class TelemetryEventChannel final : public EventChannel {
public:
    bool Start(const std::string& config_path, const std::string& version, const std::string& ca_file) override;
    void Report(const AppEvent& event) override;
    void Stop() override;
};

// The listening port from the walk over 40000..50000; with `map`, mapped on
// the gateway when this host sits behind one.
class LivePortChooser final : public PortChooser {
public:
    explicit LivePortChooser(bool map);
    ~LivePortChooser() override;
    int32_t ChooseAndMap() override;

private:
    bool map_;
    std::unique_ptr<PortMapper> mapper_;
};

}  // namespace zl::app
