#include "engine/core/sched/block_read.h"

#include <algorithm>

namespace zl {

FileReadPlan MapFileRead(int64_t file_offset, int64_t file_size, int64_t offset, int64_t length,
                         const BlockInfo& geometry) {
    FileReadPlan plan;
    if (file_offset < 0 || file_size < 0 || offset < 0 || length < 0 || geometry.empty()) return plan;
    // offset + length <= file_size, written so that it cannot overflow.
    if (offset > file_size || length > file_size - offset) return plan;
    if (file_offset > INT64_MAX - file_size) return plan;
    // Where the bytes sit in the torrent: the file need not start on a piece boundary.
    const int64_t start = file_offset + offset;
    const int64_t end = start + length;  // exclusive
    if (end > geometry.total_size()) return plan;
    // A zero-length read at the very end of the data stands at the last piece.
    const int32_t first = length > 0 ? geometry.PieceOfByte(start)
                                     : std::max(0, geometry.PieceOfByte(std::min(start, geometry.total_size() - 1)));
    plan.valid = true;
    plan.first_piece = first;
    plan.last_piece = length > 0 ? geometry.PieceOfByte(end - 1) : first;
    for (int64_t at = start; at < end;) {
        const int32_t piece = geometry.PieceOfByte(at);
        const int64_t in_piece = at - geometry.PieceBegin(piece);
        const int64_t n = std::min(geometry.PieceSize(piece) - in_piece, end - at);
        plan.spans.push_back({piece, in_piece, n});
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
