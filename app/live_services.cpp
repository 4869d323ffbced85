#include "app/live_services.h"

#include <random>

#include "portmap/port_choice.h"
#include "portmap/port_mapper.h"
#include "telemetry/report_event.h"

namespace zl::app {

bool TelemetryEventChannel::Start(const std::string& config_path, const std::string& version,
                                  const std::string& ca_file) {
    return StartTelemetry(config_path, "5", version, "v300", "zephyrloader", ca_file);
}

void TelemetryEventChannel::Report(const AppEvent& e) {
    const std::string code = std::to_string(e.code);
    if (e.with_statistics) {
        EventValues v;
        v.total_time = e.statistics.seconds;
        v.total_bytes = e.statistics.total_bytes;
        v.average_speed = e.statistics.average;
        v.progress = e.statistics.progress;
        v.http_bytes = e.statistics.http_bytes;
        v.http_speed = e.statistics.http_average;
        v.p2p_bytes = e.statistics.peer_bytes;
        v.p2p_speed = e.statistics.peer_average;
        v.error_message = e.text;
        ReportEvent(code, v);
    } else if (!e.file.empty()) {
        ReportEventFile(code, e.file, e.text);
    } else {
        ReportEventText(code, e.text);
    }
}

void TelemetryEventChannel::Stop() { StopTelemetry(); }

LivePortChooser::LivePortChooser(bool map) : map_(map) {}
LivePortChooser::~LivePortChooser() = default;

int32_t LivePortChooser::ChooseAndMap() {
    if (map_) {
        mapper_ = std::make_unique<PortMapper>();
        return mapper_->ChooseAndMapPort();
    }
    std::random_device random;
    return WalkListenPorts(kFirstListenPort + random() % 10000, [](uint16_t port) { return TcpPortInUse(port); });
}

}  // namespace zl::app
