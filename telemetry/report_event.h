// The event call every part of the program uses to report a statistics event,
// and the start and stop of the process-wide uploader behind it.
//
//   StartTelemetry(settings)        once at start-up (needs config path, GameID,
//                                   AppVersion, GVersion; Dchannel may be empty)
//   ReportEvent(code, values, flags), ReportEventText(code, text[, flags]),
//   ReportEventFile(code, file, text)
//   StopTelemetry()                 at exit, before the engine log closes: the
//                                   queue is drained and posted one last time
//
// ReportEvent never waits for the network: it formats the body and queues it.
// Events reported while no uploader is ready are not sent; they are written
// to the engine log (category 38) so the failure is still on record.
#pragma once
#include <cstdint>
#include <string>

#include "telemetry/data_upload.h"
#include "telemetry/event_body.h"

namespace zl {

// Creates the uploader and starts "CollectDataUpload". False when one already
// runs or the thread cannot start.
bool StartTelemetry(TelemetrySettings settings);
// Same, from the five texts of the application's start-up (and the CA file the posts trust; empty: the system's store).
bool StartTelemetry(const std::string& config_path, const std::string& game_id, const std::string& app_version,
                    const std::string& gversion, const std::string& dchannel, const std::string& ca_file = {});
// Drains, posts once more and destroys the uploader; later events are not sent.
void StopTelemetry();
// Whether events are being accepted now.
bool TelemetryReady();
// The text naming this installation (appended to the program's messages); empty before start.
std::string TelemetryIdentifierText();

void ReportEvent(const std::string& code, const EventValues& values, int inventory_flags = 0);
// The same with its sixteen arguments in their usual order.
void ReportEvent(const std::string& code, const std::string& server_ip, const std::string& http_result,
                 uint32_t total_time, uint64_t total_bytes, uint64_t average_speed, const std::string& progress,
                 uint64_t http_bytes, uint64_t http_speed, uint64_t p2p_bytes, uint64_t p2p_speed,
                 int corrupt_pak_id, const std::string& file_name, const std::string& url,
                 const std::string& error_message, int inventory_flags);
// Only a code and an error text (empty texts and zeros for the rest).
void ReportEventText(const std::string& code, const std::string& error_message, int inventory_flags = 0);
// A code, the file it concerns and an error text.
void ReportEventFile(const std::string& code, const std::string& file_name, const std::string& error_message);

// Event codes this library itself and its neighbours use.
inline constexpr const char* kEventUpnpMapped = "11390000";
inline constexpr const char* kEventUpnpNotNeeded = "11390001";
inline constexpr const char* kEventUpnpFailed = "11500105";

}  // namespace zl
