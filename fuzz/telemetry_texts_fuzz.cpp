// Texts from outside the telemetry code: a statistics server's answer and the
// configuration file (INI) with its URL lists and keyword lists.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/base/text.h"
#include "telemetry/data_statistics.h"
#include "telemetry/form_poster.h"
#include "telemetry/ini_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)zl::AnswerAccepted(text);
    const zl::IniReader ini = zl::IniReader::Parse(text);
    (void)zl::SubmitUrls(ini, "SubmitEventDownloadSeveral");
    (void)ini.GetString("SubmitEventDownload", "InputDataKeyWord");
    (void)zl::PercentDecode(zl::PercentEncode(text, zl::PercentKeep::kUnreserved, zl::HexCase::kUpper));
    return 0;
}
