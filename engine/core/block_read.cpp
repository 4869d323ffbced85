#include "engine/core/block_read.h"

#include <algorithm>

namespace zl {

FileReadPlan MapFileRead(int64_t file_offset, int64_t file_size, int64_t offset, int64_t length,
                         int64_t piece_length, int64_t piece_count) {
    FileReadPlan plan;
    if (file_offset < 0 || file_size < 0 || offset < 0 || length < 0 || piece_length <= 0 || piece_count <= 0)
        return plan;
    // offset + length <= file_size, written so that it cannot overflow.
    if (offset > file_size || length > file_size - offset) return plan;
    if (file_offset > INT64_MAX - file_size) return plan;
    // Where the bytes sit in the torrent: the file need not start on a piece boundary.
    const int64_t start = file_offset + offset;
    const int64_t first = start / piece_length;
    if (first >= piece_count && length > 0) return plan;
    const int64_t end = start + length;  // exclusive
    const int64_t last = length > 0 ? (end - 1) / piece_length : first;
    if (last >= piece_count || first > INT32_MAX) return plan;
    plan.valid = true;
    plan.first_piece = int32_t(std::min(first, piece_count - 1));
    plan.last_piece = int32_t(last);
    for (int64_t at = start; at < end;) {
        const int64_t piece = at / piece_length;
        const int64_t in_piece = at - piece * piece_length;
        const int64_t n = std::min(piece_length - in_piece, end - at);
        plan.spans.push_back({int32_t(piece), in_piece, n});
        at += n;
    }
    return plan;
}

int32_t ReadWaitOutcome(ReadRequestState state, uint64_t waited_ms, bool worker_running, bool stop_requested,
                        int32_t bytes_read) {
    switch (state) {
        case ReadRequestState::Done:
            return bytes_read;
        case ReadRequestState::Failed:
            return kReadFailed;
        case ReadRequestState::InProgress:
            // A worker that died while serving it never finishes it.
            return worker_running ? kReadKeepWaiting : kReadNoWorker;
        case ReadRequestState::Waiting:
            break;
    }
    if (!worker_running || stop_requested) return kReadNoWorker;
    return waited_ms >= kReadStartTimeoutMs ? kReadNotStarted : kReadKeepWaiting;
}

}  // namespace zl
