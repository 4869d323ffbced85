// What the service makes of the clients' event codes: which ones mark a
// download begun, completed, verified, repaired or failed, and a short name
// for each code the dashboard lists.
#pragma once
#include <string>

namespace zl::stats {

inline constexpr const char* kCodeBegun = "11010000";
inline constexpr const char* kCodeCompleted = "11060000";  // carries the session's statistics
inline constexpr const char* kCodeRepaired = "11100003";
inline constexpr const char* kCodeVerified = "11100004";

// A download that could not go on: the engine did not start, a torrent could
// not be read, the network timed out, the disk is full, an unexpected exit or
// a repair that gave up.
bool EndsInFailure(const std::string& code);
// Every code that reports a fault (the 114..., 115..., 116... and 1199... families).
bool IsFailureEvent(const std::string& code);
// A short English name, or "" for a code this service does not know.
std::string EventName(const std::string& code);

}  // namespace zl::stats
