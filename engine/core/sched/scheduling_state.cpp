#include "engine/core/sched/scheduling_state.h"

#include <algorithm>

#include "engine/core/sched/shared_requests.h"
#include "engine/net/peer_requests.h"

namespace zl {

TaskScheduling::TaskScheduling() : shared_(std::make_unique<RequestList>()) {}

TaskScheduling::~TaskScheduling() = default;

bool TaskScheduling::SharedListed(int64_t block) const { return shared_->Contains(block); }

bool TaskScheduling::AddShared(const RequestRecord& record) { return shared_->Add(record); }

bool TaskScheduling::TakeShared(int64_t block, int32_t length) { return shared_->Take(block, length, false); }

size_t TaskScheduling::SharedCount() const { return shared_->size(); }

bool TaskScheduling::TakeSharedRequests(RequestList& mine, int64_t piece_length, const PieceTest& peer_has,
                                        const PieceTest& excluded, const PieceTest& needed, int32_t maximum) {
    return zl::TakeSharedRequests(*shared_, mine, piece_length, peer_has, excluded, needed, maximum);
}

void TaskScheduling::Resize(int32_t piece_count) {
    requested_.Resize(piece_count);
    haves_.Resize(piece_count);
    // Block numbers of the old map mean other bytes in a new one.
    shared_->Clear();
}

void TaskScheduling::Reset() {
    Resize(0);
    endgame_.Reset();
}

bool TaskScheduling::PieceHad(int32_t piece) {
    if (piece < 0 || piece >= requested_.PieceCount()) return false;
    requested_.RemoveAll(piece);
    haves_.Queue(piece);
    return true;
}

MarkResult TaskScheduling::MarkRequested(int32_t piece, bool add, bool drop_all, const MarkFacts& facts) {
    MarkResult result;
    if (add) {
        result.changed = requested_.Add(piece, facts.active_peers, facts.finished_pieces);
        return result;
    }
    if (!drop_all) {
        result.changed = requested_.RemoveOne(piece);
        return result;
    }
    if (piece < 0 || piece >= requested_.PieceCount()) return result;
    const int64_t missing = std::max<int64_t>(int64_t(requested_.PieceCount()) - facts.finished_pieces, 0);
    result.discard_data = DiscardOnDropAll(endgame_.InEndgame(), missing, facts.stop_requested);
    result.changed = requested_.RemoveAll(piece);
    return result;
}

bool TaskScheduling::UpdateEndgame(int32_t finished_pieces) {
    return endgame_.Update(requested_.Entries(), requested_.PieceCount(), finished_pieces);
}

void TaskScheduling::ReturnRequests(std::vector<RequestRecord>& records, bool stop_requested) {
    if (!stop_requested) {
        for (RequestRecord& record : records) {
            record.sent = false;
            shared_->Add(record);  // a block already listed stays listed once
        }
    }
    records.clear();
}

void TaskScheduling::Second(int64_t piece_length, bool data_complete, const PieceTest& had) {
    if (data_complete) {
        shared_->Clear();
    } else if (!shared_->empty()) {
        DropCompleteSharedRequests(*shared_, piece_length, had);
    }
}

}  // namespace zl
