// Reads of the task's data by other threads: a reader queues its request and
// waits; the worker, which owns the piece map, serves it between two steps.
#include <cstring>

#include "engine/core/sched/block_read.h"
#include "engine/core/task/task_work_with_pieces.h"

namespace zl {

struct TWorkWithPieces::BlockReadRequest {
    int32_t file_index = 0;
    uint8_t* destination = nullptr;
    int64_t offset = 0;
    int32_t length = 0;
    ReadRequestState state = ReadRequestState::Waiting;
    int32_t bytes_read = 0;
};

namespace {
constexpr uint32_t kReadPollMs = 10;
}  // namespace

int32_t TWorkWithPieces::ReadBlock(int32_t file_index, uint8_t* destination, int64_t offset, int32_t length) {
    if (!destination || length < 0 || offset < 0) return kReadRejected;
    BlockReadRequest request;
    request.file_index = file_index;
    request.destination = destination;
    request.offset = offset;
    request.length = length;
    {
        ScopedLock guard(piece_layer_lock_);
        read_queue_.push_back(&request);
    }
    Clock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    for (;;) {
        ReadRequestState state;
        int32_t bytes_read;
        {
            ScopedLock guard(piece_layer_lock_);
            state = request.state;
            bytes_read = request.bytes_read;
        }
        const uint64_t waited = clock.TickMs() - start;
        const int32_t outcome = ReadWaitOutcome(state, waited, IsRunning(), IsStopRequested(), bytes_read);
        if (outcome != kReadKeepWaiting) {
            // The record lives on this stack: it leaves the queue in every case.
            ScopedLock guard(piece_layer_lock_);
            std::erase(read_queue_, &request);
            return outcome;
        }
        clock.SleepMs(kReadPollMs);
    }
}

void TWorkWithPieces::ServeBlockReads() {
    ScopedLock guard(piece_layer_lock_);
    if (read_queue_.empty() || !pieces_ || pieces_->PieceLength() <= 0) return;
    for (BlockReadRequest* request : read_queue_) {
        if (request->state != ReadRequestState::Waiting) continue;
        request->state = ReadRequestState::InProgress;
        ServeBlockRead(*request);
    }
}

void TWorkWithPieces::ServeBlockRead(BlockReadRequest& request) {
    TPieces& map = *pieces_;
    request.state = ReadRequestState::Failed;
    if (request.file_index < 0 || request.file_index >= map.FileCount()) return;
    const FileEntry& file = map.File(request.file_index);
    const FileReadPlan plan =
        MapFileRead(file.offset, file.size, request.offset, request.length, map.Geometry());
    if (!plan.valid) return;
    if (!plan.spans.empty()) scheduling_position_.store(plan.first_piece, std::memory_order_relaxed);
    for (const PieceSpan& span : plan.spans)
        if (!map.Have(span.piece)) return;  // only verified data is handed out
    int64_t done = 0;
    for (const PieceSpan& span : plan.spans) {
        if (map.ReadPieceBytes(span.piece, request.destination + done, span.length, span.offset) != span.length) return;
        done += span.length;
    }
    request.bytes_read = static_cast<int32_t>(done);
    request.state = ReadRequestState::Done;
}

}  // namespace zl
