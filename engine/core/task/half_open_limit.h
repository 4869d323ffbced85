// The limit of TCP connections a task may have in the connecting state at once.
#pragma once
#include <cstdint>

namespace zl {

inline constexpr int32_t kMaxHalfOpenLimit = 32;

// Reads a system-imposed limit on connections still being established; -1 when
// the system imposes none (as on Linux, whose SYN backlog is per listener, not a
// global cap on outgoing connects).
int32_t ProbeHalfOpenLimit();

// probe - 2 when that is positive, else 32; never above 32.
int32_t HalfOpenLimitFromProbe(int32_t probe);

}  // namespace zl
