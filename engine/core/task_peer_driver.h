// The task as its peers see it: the server sources become candidates, the
// candidates are dialled within the task's connection limit as HTTP or FTP
// peers, the peers' download passes are driven, their blocks go into the piece
// map, and the server ranges share the pieces among them. Owned by the
// statistics layer of the task and used only by its worker thread.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/core/server_ranges.h"
#include "engine/core/task_piece_view.h"
#include "engine/core/task_random.h"
#include "engine/core/transfer_statistics.h"
#include "engine/net/peer_object.h"
#include "engine/net/resolver.h"

namespace zl {

class TaskPeerDriver final : public TaskPeers, public IPeerTask, private RangePeerFacts {
public:
    TaskPeerDriver(TaskPieceView& task, TransferStatistics& statistics);
    ~TaskPeerDriver() override;
    TaskPeerDriver(const TaskPeerDriver&) = delete;
    TaskPeerDriver& operator=(const TaskPeerDriver&) = delete;

    // Adds the server sources among `texts` not yet known as candidates.
    void AddSources(const std::vector<std::string>& texts) override;
    int32_t Pass() override;
    void RateSnapshot(uint64_t elapsed_ms) override;
    void CloseAll() override;
    uint64_t HttpBytes() const override { return http_bytes_; }
    uint64_t FtpBytes() const override { return ftp_bytes_; }
    size_t ActiveCount() const override { return active_.size(); }
    void AddWaitEntries(std::vector<pollfd>& entries) const override;
    size_t UsableCandidates() const;
    int64_t SummedRate() const;

    // --- IPeerTask -------------------------------------------------------
    Clock& clock() override;
    uint64_t EngineSeconds() override;
    bool HasMetadata() override;
    int32_t PieceCount() override;
    int64_t PieceLength() override;
    int64_t PieceSize(int32_t piece) override;
    bool PieceWanted(int32_t piece) override;
    bool MissingSpan(int32_t piece, int64_t* first_missing, int64_t* piece_size) override;
    bool BlockPresent(int32_t piece, int64_t offset, int32_t length) override;
    bool IsComplete() override;
    bool HasRanges() override { return !ranges_.empty(); }
    void BuildRanges() override;
    TPieceRange* AssignRange(TPeerObject& peer) override;
    bool PieceInAnyRange(int32_t piece) override { return ranges_.PieceInAnyRange(piece); }
    TPieceRange* AddRange(int32_t first, int32_t last, TPeerObject& owner) override;
    void RemoveRange(TPieceRange* range) override { ranges_.Remove(range); }
    TPieceRange* SplitRangeAt(int32_t position, TPeerObject& peer) override;
    void MarkNotRequested(int32_t) override {}
    int32_t SchedulingPosition() override { return task_.ViewSchedulingPosition(); }
    bool InEndgame() override { return false; }
    bool SharedRequestListed(int64_t block) override;
    void AddSharedRequest(const RequestRecord& record) override { shared_.push_back(record); }
    bool TakeSharedRequest(int64_t block, int32_t length) override;
    void ReturnRequests(std::vector<RequestRecord>& records) override;
    BlockWriteResult WriteBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data,
                                int32_t origin) override;
    void OnPieceHashFailed(int32_t) override {}
    void AddReceived(int64_t bytes) override;
    void AddKindBytes(int32_t kind, int64_t bytes) override;
    void PenaliseSource(TPeerId* identity, bool keep, int32_t passes) override;
    void AddCandidate(TPeerId* identity) override;
    int64_t DownloadAllowance() override;
    bool P2PEnabled() override { return false; }
    void NoteSendPending(TPeerObject&) override {}

private:
    struct Candidate {
        RefPtr<TPeerId> identity;
        bool dropped = false;
    };

    // --- RangePeerFacts --------------------------------------------------
    int64_t DownloadRate(const TPeerObject& peer) override { return peer.transfer().download_rate; }
    int32_t RangesClaimed(const TPeerObject& peer) override;
    int32_t LastPiece(const TPeerObject& peer) override;
    TPeerId* Identity(TPeerObject& peer) override { return peer.identity(); }
    void NoteClaimed(TPeerObject& peer) override { ++claimed_[&peer]; }
    void ReleaseOwnedRange(TPeerObject& owner) override { owner.ReleaseRange(); }
    bool PieceNeeded(int32_t piece) override { return PieceWanted(piece); }
    int64_t MissingPieces() override;

    Candidate* Find(const TPeerId* identity);
    void Dial();
    void Drop(size_t index);

    TaskPieceView& task_;
    TransferStatistics& statistics_;
    TResolver resolver_;
    TaskRandom random_;
    ServerRanges ranges_;
    std::vector<Candidate> candidates_;
    std::vector<RefPtr<TPeerObject>> active_;
    std::vector<RequestRecord> shared_;
    std::unordered_map<const TPeerObject*, int32_t> claimed_;
    std::unordered_map<const TPeerObject*, int64_t> bytes_at_snapshot_;
    int32_t blocks_taken_ = 0;
    uint64_t last_connector_pass_ = 0;
    TPeerObject* passing_ = nullptr;  // the peer whose download pass runs
    uint64_t http_bytes_ = 0;
    uint64_t ftp_bytes_ = 0;
};

}  // namespace zl
