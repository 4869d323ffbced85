// The complete task: its worker loop, start/stop/pause, resume info and the
// queries the engine interface answers from the published status.
//
// A map of the task
// -----------------
// A task is one object built in five layers, each a class deriving from the
// one before, read from the bottom up: a layer calls only into the layers
// beneath it. The worker loop at the top drives the peers, the peers write
// into the piece map at the bottom and count into the statistics between.
// Two calls go up, each through a hook the peer layer answers: the piece
// map's hash verdicts and the count of connected peers.
//
//   TBaseWork (task_base_work.h): the QThread, identity, sources, settings,
//     live and published status under the task lock, resume blobs.
//       Publish, Reset(ResetScope) ........... every layer clears its own state, then calls the one beneath
//   TWorkWithPieces (task_work_with_pieces.h): metainfo, the piece map
//     (TPieces) and its notices, the scheduling state, block reads for readers.
//       BuildMetainfo, ClosePieceFiles ....... itself (overridable by tests)
//       ApplyPendingChanges .................. file changes; each layer above adds its settings
//       ActivePeerCount, OnPieceChecked ...... hooks, answered by TWorkWithPeers
//   TWorkWithTransStatis (task_work_with_trans_statis.h): transfer
//     statistics, allowances from the limits, the loop's pace, the byte
//     counters, the seconds without data.
//       StatisticsPass ....................... itself, then TWorkWithPeers adds the peer figures
//       SecondsWithoutData ................... itself (overridable by tests)
//   TWorkWithPeers (task_work_with_peers.h): sources, server list and
//     limits, and the run's peer driver (TaskPeerDriver, peer_driver.h),
//     which it owns and serves as the TaskPieceView.
//       RefreshSources, AnnounceHaves, FourSecondPass, WaitBetweenSteps,
//       DhtSearch (task_dht_view.cpp), ExchangeOnLan (task_network.cpp) .. itself
//       PeerPass ............................. itself (overridable by tests)
//   TWorkThread (this file): the worker loop (task_work_loop.cpp), its
//     periods and end conditions, resume info, the interface's queries.
//
// The path of a received block
// ----------------------------
//   1. TaskPeerDriver::Pass drives each peer's DownloadPass; the peer's
//      ReceiveStep parses its socket's bytes (HTTP body, FTP data, BitTorrent
//      piece message) and calls TPeerObject::DeliverBlock. An HTTP body is
//      read straight into the piece's memory where IPeerTask::BlockBuffer
//      offers it (TPieces::BlockBuffer), so storing it copies nothing.
//   2. DeliverBlock takes the matching request (its own or the shared list),
//      places the block with the task's BlockInfo and calls
//      IPeerTask::WriteBlock with itself as the sender; the driver answers.
//   3. The driver hands it on with TaskPieceView::ReceiveBlock(piece, offset,
//      length, data), which TWorkWithPeers answers with TPieces::ReceiveBlock
//      and the same arguments: the block joins its piece in the memory cache;
//      the block that completes a piece has the piece SHA-1 checked at once,
//      or, with hash workers (EngineContext::HashThreads, on by default with
//      a second core), hands it to them (HashWorkers) and comes back
//      kPieceQueued, the driver noting the sender as the piece's completer.
//      Each loop step, before the peers' pass,
//      TWorkWithPieces::CollectCheckedPieces takes their verdicts in
//      completion order; each comes up as PiecesHost::OnPieceChecked(piece,
//      ok) to TWorkWithPeers and on to TaskPeers::OnPieceChecked, which
//      credits or charges the connection that completed the piece as step 4
//      does.
//   4. One BlockWriteResult (block_write.h) comes back the same way: the
//      driver counts the payload and credits the source of a verified piece;
//      for kHashFailed the sending peer calls IPeerTask::ChargeBadPiece with
//      itself, and only its source is charged.
//   5. A verified piece is written (TPieces::WritePieceBytes through the
//      FilePieceMap, under the disk lock) when the cache's share of complete
//      pieces is used up or at the periodic flush; the piece map's "have"
//      notice reaches TWorkWithPieces::OnPieceNotice, which sets the bitfield
//      and queues the have announcement for BitTorrent peers.
//
// The lock order
// --------------
//   engine api lock (EngineContext::ApiLock; interface calls only, never a worker)
//     -> a task lock (the task's QThread lock: live and published status,
//        bitfield, file changes)
//       -> engine data lock (EngineContext::DataLock: the task registry)
//   piece-layer lock (a task's block-read queue) -> engine disk lock
//     (EngineContext::DiskLock: every target-file read and write; storage lets
//      it go while it waits for disk space)
//   Leaves, held for a few lines and never while taking another lock: the
//   hash workers' queue lock (never held while hashing), the UDP
//   server lock (its QThread lock; a send from any thread takes it, its
//   consumers run under it and only queue), buffer-pool locks, the task's
//   figures mutex, the context's hooks mutex, the resolver's mutex, the
//   engine log's guard.
#pragma once
#include <cstdint>
#include <string>

#include "engine/core/task/task_records.h"
#include "engine/core/task/task_work_with_peers.h"

namespace zl {

struct TaskTorrentInfo {
    uint64_t total_size = 0;  // 64-bit: a 4 GiB file must not read as 0
    int32_t piece_length = 0;
    char info_hash[41] = {};
    char announce[4099] = {};
};

class TWorkThread : public TWorkWithPeers {
public:
    explicit TWorkThread(EngineContext& context);
    // Stops the worker (waiting), resets, and unregisters.
    ~TWorkThread() override;

    // Lifecycle: 0 or ENGINE_E_EXCEPTION.
    int32_t StartDownload();
    int32_t ContinueDownload();  // loads the resume info first
    int32_t StartTask() { return StartDownload(); }
    int32_t StopTask();
    int32_t PauseTask(bool on);
    // Stops, deletes the target and resume files, clears the status and starts again.
    int32_t Restart();

    // Queries answered from the published status, under the task lock.
    void GetProgress(TaskProgressInfo& info);
    bool IsComplete();
    int32_t SetSpeedLimit(int32_t direction, int32_t kib_per_second);
    int32_t GetTimeRemaining(int32_t* out);
    int32_t GetAverageSpeed(int32_t* out);
    int32_t GetCurrentSpeed(int32_t* out);
    int32_t GetTorrentInfo(TaskTorrentInfo& info);

    // Resume info through the engine's codec; saving writes only dirty blobs.
    void LoadResumeInfo();
    bool SaveResumeInfo(const std::string& path);
    bool SaveResumeInfo() { return SaveResumeInfo(Identity().resume_path); }

    void Reset(ResetScope scope) override;
    void Run() override;

    // Engine clock seconds as the task sees them.
    uint64_t Now();
    // Makes the task read `seconds` as its clock (0: the engine clock again).
    void SetClockOverride(uint64_t seconds) { clock_override_ = seconds; }

protected:
    // One iteration of the loop's work; returns the clock.
    uint64_t Step();
    // Completion and seeding end; may close the files and set verified-complete.
    bool IsFinished(uint64_t now);

private:
    void WorkerBody();
    bool Prepare();
    void LoadMetainfoFromFile();
    void Loop();
    void AfterLoop();
    bool IsStarved();
    bool IsDataComplete() const;
    void PeriodicSaveAndCheck();
    void DeleteResumeFile();
    void ReleaseLocksAfterCrash();
    // Gives memory back when the pools' use has fallen: every 8 s in the loop
    // (`deep` every fourth time) and once after it (`end_of_run`).
    void TrimBufferPools(bool end_of_run, bool deep);
    void FillProgress(TaskProgressInfo& info);

    // Run-time state of the worker (cleared by Reset).
    bool verified_complete_ = false;
    bool marked_starved_ = false;
    bool marked_timed_out_ = false;
    bool save_now_ = false;
    uint32_t last_save_uptime_ = 0;
    int64_t finished_at_last_save_ = 0;  // verified pieces the last resume save recorded
    uint64_t last_check_clock_ = 0;
    uint64_t last_statistics_clock_ = 0;
    uint64_t last_four_second_clock_ = 0;
    std::atomic<uint64_t> clock_override_{0};
};

}  // namespace zl
