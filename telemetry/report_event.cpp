#include "telemetry/report_event.h"

#include <memory>
#include <shared_mutex>

#include "engine/base/engine_log.h"

namespace zl {
namespace {

constexpr int kEventLogCategory = 28;
constexpr int kEventLogLevel = 28;
constexpr int kDroppedLogCategory = 38;
constexpr int kDroppedLogLevel = 3;

// Never destroyed at exit, so a late reporter on another thread finds a valid guard.
std::shared_mutex& Guard() {
    static auto* guard = new std::shared_mutex;
    return *guard;
}
DataUpload* g_upload = nullptr;  // guarded by Guard()
std::string* g_identifier = nullptr;  // guarded by Guard()

}  // namespace

bool StartTelemetry(TelemetrySettings settings) {
    std::unique_lock lock(Guard());
    if (g_upload) return false;
    auto upload = std::make_unique<DataUpload>(std::move(settings));
    if (!upload->Start("CollectDataUpload")) return false;
    const std::string identifier = upload->Statistics().IdentifierText();
    delete g_identifier;
    g_identifier = new std::string(identifier);
    g_upload = upload.release();
    return true;
}

bool StartTelemetry(const std::string& config_path, const std::string& game_id, const std::string& app_version,
                    const std::string& gversion, const std::string& dchannel, const std::string& ca_file) {
    TelemetrySettings settings;
    settings.config_path = config_path;
    settings.ca_file = ca_file;
    settings.texts = {game_id, app_version, gversion, dchannel};
    return StartTelemetry(std::move(settings));
}

void StopTelemetry() {
    std::unique_ptr<DataUpload> upload;
    {
        std::unique_lock lock(Guard());
        upload.reset(g_upload);
        g_upload = nullptr;
    }
    // Outside the guard: the last post may take its time limit, and reporters must not wait for it.
    if (upload) upload->Stop();
}

bool TelemetryReady() {
    std::shared_lock lock(Guard());
    return g_upload && g_upload->Ready();
}

std::string TelemetryIdentifierText() {
    std::shared_lock lock(Guard());
    return g_identifier ? *g_identifier : std::string();
}

void ReportEvent(const std::string& code, const EventValues& values, int inventory_flags) {
    std::shared_lock lock(Guard());
    if (!g_upload || !g_upload->Ready()) {
        lock.unlock();
        LogWrite("Event " + code + " not sent (telemetry not started): " + values.error_message, kDroppedLogCategory,
                 kDroppedLogLevel);
        return;
    }
    LogWrite(code, kEventLogCategory, kEventLogLevel);
    g_upload->Report(code, values, inventory_flags);
}

void ReportEvent(const std::string& code, const std::string& server_ip, const std::string& http_result,
                 uint32_t total_time, uint64_t total_bytes, uint64_t average_speed, const std::string& progress,
                 uint64_t http_bytes, uint64_t http_speed, uint64_t p2p_bytes, uint64_t p2p_speed,
                 int corrupt_pak_id, const std::string& file_name, const std::string& url,
                 const std::string& error_message, int inventory_flags) {
    EventValues values;
    values.server_ip = server_ip;
    values.http_result = http_result;
    values.total_time = total_time;
    values.total_bytes = total_bytes;
    values.average_speed = average_speed;
    values.progress = progress;
    values.http_bytes = http_bytes;
    values.http_speed = http_speed;
    values.p2p_bytes = p2p_bytes;
    values.p2p_speed = p2p_speed;
    values.corrupt_pak_id = corrupt_pak_id;
    values.file_name = file_name;
    values.url = url;
    values.error_message = error_message;
    ReportEvent(code, values, inventory_flags);
}

void ReportEventText(const std::string& code, const std::string& error_message, int inventory_flags) {
    EventValues values;
    values.error_message = error_message;
    ReportEvent(code, values, inventory_flags);
}

void ReportEventFile(const std::string& code, const std::string& file_name, const std::string& error_message) {
    EventValues values;
    values.file_name = file_name;
    values.error_message = error_message;
    ReportEvent(code, values, 0);
}

}  // namespace zl
