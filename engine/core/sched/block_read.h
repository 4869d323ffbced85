// Reading target data through a task (ReadBlock of the task object): a read
// of a file's bytes is checked against the file and mapped onto the pieces
// that hold it, and a waiting reader learns when to give up. Owned by the
// piece layer of the task (TWorkWithPieces): ReadBlock waits with
// ReadWaitOutcome, and the worker serves queued reads with MapFileRead.
#pragma once
#include <cstdint>
#include <vector>

#include "engine/meta/block_info.h"

namespace zl {

// Result codes of a block read.
inline constexpr int32_t kReadFailed = -3;       // a covered piece is not complete, or the read came up short
inline constexpr int32_t kReadNoWorker = -5;     // no worker thread, or it is stopping
inline constexpr int32_t kReadRejected = -6;     // bad file index or range
inline constexpr int32_t kReadNotStarted = -7;   // the worker did not take it up within 3 s
inline constexpr uint64_t kReadStartTimeoutMs = 3000;

// One run of bytes inside one piece.
struct PieceSpan {
    int32_t piece = 0;
    int64_t offset = 0;  // in the piece
    int64_t length = 0;
};

struct FileReadPlan {
    bool valid = false;
    int32_t first_piece = 0;  // the reader's position: where servers should jump to
    int32_t last_piece = 0;
    std::vector<PieceSpan> spans;  // in order, lengths adding up to the read's length
};

// Maps `length` bytes at `offset` of a file that starts `file_offset` bytes
// into the torrent and is `file_size` bytes long. Invalid (nothing to read)
// for a negative offset or length, a range past the file's end (overflow
// included), an empty geometry, or bytes beyond the data. A zero-length read
// inside the file is valid and has no spans.
FileReadPlan MapFileRead(int64_t file_offset, int64_t file_size, int64_t offset, int64_t length,
                         const BlockInfo& geometry);

enum class ReadRequestState { Waiting, InProgress, Done, Failed };

// What a reader waiting for the worker does after `waited_ms`: keep waiting
// (returns 1), or give up with a code. A request that was never taken up
// gives -5 at once when no worker runs or a stop is requested, and -7 after
// 3 s while the worker runs but does not serve it (piece length unknown).
// A finished request gives `bytes_read`, a failed one -3.
int32_t ReadWaitOutcome(ReadRequestState state, uint64_t waited_ms, bool worker_running, bool stop_requested,
                        int32_t bytes_read);
inline constexpr int32_t kReadKeepWaiting = 1;

}  // namespace zl
