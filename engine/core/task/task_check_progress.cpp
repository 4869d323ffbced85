// The start-up check of a task's files can take minutes for a large
// package: its progress is published while it runs, so the interface (and a
// front end's progress line) can show how far it is.
#include "engine/core/api/engine_context.h"
#include "engine/core/task/task_work_with_pieces.h"

namespace zl {

namespace {
constexpr uint64_t kCheckPublishMs = 250;
}

bool TWorkWithPieces::StopRequested() {
    if (pieces_) {
        const uint64_t tick = Context().GetClock().TickMs();
        if (tick >= last_check_publish_ms_ + kCheckPublishMs) {
            last_check_publish_ms_ = tick;
            const int64_t checked = pieces_->CheckProgress() != 0 ? pieces_->CheckProgress() : pieces_->CheckedBytes();
            live_.checked = static_cast<uint64_t>(checked > 0 ? checked : 0);
            live_.total_size = static_cast<uint64_t>(pieces_->TotalSize() > 0 ? pieces_->TotalSize() : 0);
            Publish(LockWait::kSkipIfBusy);
        }
    }
    return CheckStop();
}

}  // namespace zl
