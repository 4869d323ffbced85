// A small task for peer tests: a piece map of present blocks, a range list and
// a shared request list, with counters of what the peers did.
#pragma once
#include <algorithm>
#include <list>
#include <memory>
#include <set>
#include <vector>

#include "engine/base/fake_clock.h"
#include "engine/net/peer_object.h"

namespace zl::test {

class FakePeerTask : public IPeerTask {
public:
    FakePeerTask(int32_t pieces, int64_t piece_length, int64_t total = -1)
        : piece_count(pieces), piece_length(piece_length),
          total_size(total < 0 ? pieces * piece_length : total),
          present(static_cast<size_t>(pieces)) {
        for (int32_t p = 0; p < pieces; ++p)
            present[p].assign(static_cast<size_t>(BlockInfo(total_size, piece_length).BlocksInPiece(p)), false);
    }

    Clock& clock() override { return fake_clock; }
    uint64_t EngineSeconds() override { return 1'790'000'000 + fake_clock.TickMs() / 1000; }
    bool HasMetadata() override { return has_metadata; }
    BlockInfo Geometry() override { return has_metadata ? BlockInfo(total_size, piece_length) : BlockInfo(); }
    bool PieceComplete(int32_t p) {
        return std::all_of(present[p].begin(), present[p].end(), [](bool b) { return b; });
    }
    bool PieceWanted(int32_t p) override { return p >= 0 && p < piece_count && !PieceComplete(p); }
    bool MissingSpan(int32_t p, int64_t* first, int64_t* size) override {
        for (size_t b = 0; b < present[p].size(); ++b) {
            if (!present[p][b]) {
                *first = static_cast<int64_t>(b) * kBlockSize;
                *size = PieceSize(p);
                return true;
            }
        }
        return false;
    }
    bool BlockPresent(int32_t p, int64_t offset, int32_t) override { return present[p][offset / kBlockSize]; }
    bool IsComplete() override {
        for (int32_t p = 0; p < piece_count; ++p)
            if (!PieceComplete(p)) return false;
        return true;
    }

    bool HasRanges() override { return !ranges.empty(); }
    void BuildRanges() override {
        for (auto [first, last] : planned_ranges) {
            auto r = std::make_unique<TPieceRange>();
            r->first = r->current = first;
            r->last = last;
            ranges.push_back(std::move(r));
        }
    }
    TPieceRange* AssignRange(TPeerObject& peer) override {
        for (auto& r : ranges)
            if (!r->owner && !r->finished && !r->discard) {
                r->owner = &peer;
                return r.get();
            }
        return nullptr;
    }
    bool PieceInAnyRange(int32_t p) override {
        for (auto& r : ranges)
            if (p >= r->first && p <= r->last) return true;
        return false;
    }
    TPieceRange* AddRange(int32_t first, int32_t last, TPeerObject& owner) override {
        auto r = std::make_unique<TPieceRange>();
        r->first = r->current = first;
        r->last = last;
        r->owner = &owner;
        ranges.push_back(std::move(r));
        return ranges.back().get();
    }
    void RemoveRange(TPieceRange* range) override {
        ranges.remove_if([&](const std::unique_ptr<TPieceRange>& r) { return r.get() == range; });
    }
    TPieceRange* SplitRangeAt(int32_t position, TPeerObject& peer) override {
        for (auto& r : ranges) {
            if (r->finished || position < r->first || position > r->last) continue;
            const int32_t last = r->last;
            if (position == r->first) {
                r->owner = &peer;
                r->current = position;
                return r.get();
            }
            r->last = position - 1;
            return AddRange(position, last, peer);
        }
        return nullptr;
    }
    void UnmarkRequested(int32_t p) override { not_requested.push_back(p); }

    int32_t SchedulingPosition() override { return position; }
    bool InEndgame() override { return endgame; }
    bool SharedRequestListed(int64_t block) override {
        return std::any_of(shared.begin(), shared.end(), [&](const RequestRecord& r) { return r.block == block; });
    }
    void AddSharedRequest(const RequestRecord& r) override { shared.push_back(r); }
    bool TakeSharedRequest(int64_t block, int32_t length) override {
        for (auto it = shared.begin(); it != shared.end(); ++it)
            if (it->block == block && it->length == length) {
                shared.erase(it);
                return true;
            }
        return false;
    }
    void ReturnRequests(std::vector<RequestRecord>& records) override {
        returned += records.size();
        shared.insert(shared.end(), records.begin(), records.end());
        records.clear();
    }

    BlockWriteResult WriteBlock(TPeerObject&, int32_t p, int64_t offset, int32_t length, const uint8_t*) override {
        ++writes;
        if (length <= 0) return {BlockWrite::kRefused, 0};
        if (present[p][offset / kBlockSize]) return {BlockWrite::kNotNeeded, 0};
        present[p][offset / kBlockSize] = true;
        if (PieceComplete(p) || force_complete) {
            if (bad_pieces.count(p)) {
                std::fill(present[p].begin(), present[p].end(), false);
                return {BlockWrite::kHashFailed, length};
            }
            return {BlockWrite::kPieceVerified, length};
        }
        return {BlockWrite::kStored, length};
    }
    bool ChargeBadPiece(TPeerObject&, int32_t p) override {
        failed_pieces.push_back(p);
        return true;
    }
    void AddReceived(int64_t bytes) override { received += bytes; }
    void AddKindBytes(int32_t kind, int64_t bytes) override { kind_bytes[kind == kKindNode ? 0 : 1] += bytes; }
    void PenaliseSource(TPeerId*, bool, int32_t) override {}
    void AddCandidate(TPeerId*) override {}
    int64_t DownloadAllowance() override { return 1 << 20; }
    bool P2PEnabled() override { return p2p; }

    FakeClock fake_clock;
    int32_t piece_count;
    int64_t piece_length;
    int64_t total_size;
    std::vector<std::vector<bool>> present;
    bool has_metadata = true;
    bool endgame = false;
    bool p2p = true;
    bool force_complete = false;
    int32_t position = 0;
    std::set<int32_t> bad_pieces;
    std::vector<std::pair<int32_t, int32_t>> planned_ranges;
    std::list<std::unique_ptr<TPieceRange>> ranges;
    std::vector<RequestRecord> shared;
    std::vector<int32_t> not_requested;
    std::vector<int32_t> failed_pieces;
    size_t returned = 0;
    int writes = 0;
    int64_t received = 0;
    int64_t kind_bytes[2] = {0, 0};
};

// A peer with no protocol of its own; the test sets its connection state.
class TestPeer : public TPeerObject {
public:
    TestPeer(IPeerTask& task, int32_t kind) : TPeerObject(task, kind, SocketEnv{}) {}
    void SetConnected(int32_t state = kConnOpen) {
        EnsureSocket();
        connection_state_ = state;
    }
    void SetRate(int64_t rate) { transfer_.download_rate = rate; }
    void SetActivity(int32_t a) { activity_ = a; }

protected:
    ~TestPeer() override { Reset(); }
};

}  // namespace zl::test
