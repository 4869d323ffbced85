// The statistics events the application reports, by name; the codes are the
// statistics server's.
#pragma once
#include <cstdint>

namespace zl::app {

// A download is begun.
inline constexpr uint32_t kEventDownloadBegun = 11010000;
// The user pauses (with statistics).
inline constexpr uint32_t kEventUserPaused = 11020000;
// Downloading resumes: resume, or reload with active tasks.
inline constexpr uint32_t kEventDownloadResumed = 11030000;
// The user exits while a download is under way (with statistics).
inline constexpr uint32_t kEventUserExitWhileDownloading = 11040000;
// Every 300 seconds in the downloading states (with statistics).
inline constexpr uint32_t kEventStillDownloading = 11050000;
// Every file is complete, in a session that created or reloaded tasks (with statistics).
inline constexpr uint32_t kEventPackageComplete = 11060000;
// The main button once the package is complete or verified.
inline constexpr uint32_t kEventInstallPressed = 11070000;
// A file became complete (its target path).
inline constexpr uint32_t kEventFileComplete = 11080000;
// The user accepted verification before installing.
inline constexpr uint32_t kEventVerifyAccepted = 11100001;
// The user declined verification before installing.
inline constexpr uint32_t kEventVerifyDeclined = 11100002;
// A repair round made a file match ("修复次数：%d").
inline constexpr uint32_t kEventRepairMatched = 11100003;
// Every file verified.
inline constexpr uint32_t kEventPackageVerified = 11100004;
// The engine did not start, tasks could not be made, or a torrent could not be extracted on reload.
inline constexpr uint32_t kEventEngineStartFailed = 11400101;
// The statistics configuration, or a torrent on creation, could not be extracted.
inline constexpr uint32_t kEventResourceNotExtracted = 11400190;
// A file's MD5 did not match ("MD5 unmatched (%s)").
inline constexpr uint32_t kEventMd5Mismatch = 11500201;
// The installer could not be started (entrance and the error text).
inline constexpr uint32_t kEventInstallerNotStarted = 11600101;
// The installer file is missing.
inline constexpr uint32_t kEventInstallerMissing = 11600102;
// A task ended timed out (engine status 20209; with statistics).
inline constexpr uint32_t kEventNetworkTimedOut = 11990202;
// The disk is too full (engine status 20210 or the free-space watch; with statistics).
inline constexpr uint32_t kEventDiskFull = 11990301;
// An unexpected exit ("Unknow Exit, maybe crashed"), or the repair gave up.
inline constexpr uint32_t kEventUnexpectedExit = 11990501;
// The server configuration's certificate did not verify (the text says why);
// the document is not used and the download goes on with the mirrors it has.
inline constexpr uint32_t kEventConfigCertificateRefused = 11500107;

}  // namespace zl::app
