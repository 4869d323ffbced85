#include "engine/net/peer_object.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "engine/base/clock.h"

namespace zl {

TPeerObject::TPeerObject(IPeerTask& task, int32_t kind, const SocketEnv& env)
    : task_(task), env_(env), kind_(kind) {}

TPeerObject::~TPeerObject() {
    TPeerObject::Reset();
    socket_.reset();
}

uint64_t TPeerObject::Now() const { return task_.EngineSeconds(); }

void TPeerObject::EnsureSocket() {
    if (!socket_) {
        SocketEnv env = env_;
        if (!env.clock) env.clock = &task_.clock();
        if (!env.seconds) env.seconds = [task = &task_] { return task->EngineSeconds(); };
        socket_ = std::make_unique<TSocket>(env);
    }
}

bool TPeerObject::AttachIdentity(TPeerId* identity) {
    if (!identity || identity == identity_ || !identity->IsUsable()) return false;
    identity->AddRef();
    if (identity_) identity_->Release();
    identity_ = identity;
    TSourceAddress& source = identity->Source();
    source.content_complete = false;
    source.content.clear();
    if (socket_)
        socket_->Close();
    else
        EnsureSocket();
    stats_.attach_time = Now();
    return true;
}

bool TPeerObject::AttachSocket(std::unique_ptr<TSocket> socket) {
    Reset();
    socket_ = std::move(socket);
    stats_.incoming = true;
    connection_state_ = socket_ ? kConnOpen : kConnNone;
    stats_.attach_time = Now();
    return IsConnected();
}

void TPeerObject::Reset() {
    if (!outstanding_.empty()) {
        std::vector<RequestRecord> records = outstanding_.TakeAll();
        task_.ReturnRequests(records);
    }
    incoming_.Clear();
    if (socket_) socket_->Close();
    ReleaseRange();
    connection_state_ = kConnNone;
    activity_ = kActivityNone;
    no_data_passes_ = 0;
    stats_ = PeerStatistics{};
    transfer_ = PeerTransfer{};
    if (identity_) {
        identity_->open_connections = std::max(0, identity_->open_connections - 1);
        identity_->Release();
        identity_ = nullptr;
    }
}

bool TPeerObject::ShouldDisconnect(bool keep_stalled) {
    return !IsConnected() || IsUseless() || (!keep_stalled && IsStalled()) || (task_.IsComplete() && IsSeed());
}

bool TPeerObject::DownloadPass() {
    if (!IsConnected()) return false;
    if (kind_ == kKindNode && !task_.P2PEnabled()) return false;
    return MeasuredPass([this] {
        return ReceiveStep() && IsConnected() && RequestStep() && IsConnected() && SendRequests() && IsConnected() &&
               SendStep() && IsConnected();
    });
}

bool TPeerObject::UploadPass() {
    if (kind_ != kKindNode) return true;
    if (!IsConnected() || !task_.P2PEnabled()) return false;
    return MeasuredPass([this] { return UploadStep() && IsConnected(); });
}

// Runs one pass's steps and records what moved during it; a peer that still
// has queued output after its handshake tells the task so.
template <class Steps>
bool TPeerObject::MeasuredPass(Steps steps) {
    const uint64_t sent_before = PassBytesSent();
    const uint64_t received_before = PassBytesReceived();
    const bool ok = steps();
    const uint64_t sent_after = PassBytesSent();
    const uint64_t received_after = PassBytesReceived();
    transfer_.pass_received = received_after > received_before ? static_cast<int64_t>(received_after - received_before) : 0;
    transfer_.pass_sent = sent_after > sent_before ? static_cast<int64_t>(sent_after - sent_before) : 0;
    transfer_.total_sent += transfer_.pass_sent;
    if (transfer_.pass_received > 0 || transfer_.pass_sent > 0) stats_.idle_passes = 0;
    if (!ok) return false;
    if (HandshakeDone() && socket_->queued_length() > 0) stats_.send_pending = true;
    return true;
}

int64_t TPeerObject::QueueDepthTarget() const {
    const int64_t rate = std::max<int64_t>(transfer_.download_rate, 0);
    return std::min<int64_t>(2 + 2 * BlockInfo::BlockIndex(rate), kMaxQueueDepth);
}

bool TPeerObject::RequestStep() {
    const int64_t depth = QueueDepthTarget();
    if (static_cast<int64_t>(outstanding_.size()) > depth) return true;

    int32_t piece = -1;
    int64_t first_missing = 0;
    int64_t piece_size = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        piece = NextPiece();
        if (piece < 0) break;
        if (task_.MissingSpan(piece, &first_missing, &piece_size)) break;
        piece = -1;
    }

    const int32_t position = task_.SchedulingPosition();
    if (IsServer() && piece > 0 && position > 0 &&
        std::abs(static_cast<int64_t>(position) - position_snapshot_) > kPositionJump) {
        // The task's reader moved away: follow it with a new range from its position.
        ReleaseRange();
        range_ = task_.SplitRangeAt(position, *this);
        if (range_) {
            range_->owner = this;
            range_->current = position;
            stats_.current_piece = position;
            piece = position;
            if (!task_.MissingSpan(piece, &first_missing, &piece_size)) piece = -1;
        } else {
            piece = -1;
        }
    }
    position_snapshot_ = position;
    if (piece < 0) return true;

    const BlockInfo geometry = task_.Geometry();
    if (piece_size <= 0 || piece_size != geometry.PieceSize(piece)) return true;
    const uint64_t now = Now();
    const bool endgame = task_.InEndgame();
    for (int64_t offset = BlockInfo::AlignDown(first_missing); offset < piece_size; offset += BlockInfo::kBlock) {
        const int32_t length = BlockInfo::BlockLengthAt(piece_size, offset);
        const int64_t block = geometry.BlockOf(piece, offset);
        if (outstanding_.Contains(block) || task_.BlockPresent(piece, offset, length)) continue;
        RequestRecord record;
        record.block = block;
        record.length = length;
        record.time = now;
        record.piece = piece;
        if (IsServer() || static_cast<int64_t>(outstanding_.size()) < depth) {
            outstanding_.Add(record);
        } else if (kind_ == kKindNode) {
            if (!(endgame && task_.SharedRequestListed(block))) task_.AddSharedRequest(record);
        }
    }
    return true;
}

int32_t TPeerObject::FirstOpenPiece(const TPieceRange& range, int32_t from) {
    for (int32_t p = std::max(from, range.first); p <= range.last; ++p)
        if (task_.PieceWanted(p) && !outstanding_.HasPiece(p)) return p;
    return -1;
}

int32_t TPeerObject::NextPiece() {
    if (!task_.HasMetadata()) return -1;
    if (!task_.HasRanges()) task_.BuildRanges();
    if (range_) {
        const int32_t next = FirstOpenPiece(*range_, stats_.current_piece + 1);
        if (next >= 0) {
            range_->current = next;
            stats_.current_piece = next;
            return next;
        }
        // End of the range: it is finished, and incomplete while a piece in it
        // is still wanted and not requested here; such a range is left for others.
        range_->finished = true;
        range_->incomplete = FirstOpenPiece(*range_, range_->first) >= 0;
        if (range_->incomplete)
            range_->owner = nullptr;
        else
            task_.RemoveRange(range_);
        range_ = nullptr;
    }
    return ClaimRange(3);
}

int32_t TPeerObject::ClaimRange(int32_t attempts) {
    for (int32_t attempt = 0; attempt < attempts; ++attempt) {
        TPieceRange* range = task_.AssignRange(*this);
        if (!range && !task_.IsComplete()) range = ClaimFirstRange();
        if (!range && IsServer() && !task_.IsComplete()) range = task_.TakeOverRange(*this);
        if (!range) return -1;
        range->owner = this;
        range_ = range;
        const int32_t piece = FirstOpenPiece(*range, range->current);
        if (piece >= 0) {
            range->current = piece;
            stats_.current_piece = piece;
            return piece;
        }
        // Nothing left to fetch in it: drop it and try again.
        range->finished = true;
        task_.RemoveRange(range);
        range_ = nullptr;
    }
    return -1;
}

TPieceRange* TPeerObject::ClaimFirstRange() {
    const int32_t count = task_.PieceCount();
    int32_t first = -1;
    for (int32_t p = 0; p < count; ++p) {
        if (task_.PieceWanted(p) && !task_.PieceInAnyRange(p)) {
            first = p;
            break;
        }
    }
    if (first < 0) return nullptr;
    int32_t last = first;
    while (last + 1 < count && task_.PieceWanted(last + 1) && !task_.PieceInAnyRange(last + 1)) ++last;
    TPieceRange* range = task_.AddRange(first, last, *this);
    if (range) ++stats_.ranges_claimed;
    return range;
}

bool TPeerObject::TimedOutAfter(int64_t limit_seconds) {
    const uint64_t since = std::max(stats_.attach_time, last_data_time_);
    const uint64_t now = Now();
    if (now <= since || static_cast<int64_t>(now - since) <= limit_seconds) return false;
    activity_ = kActivityTimedOut;
    ReleaseRange();
    return true;
}

void TPeerObject::ReleaseRange() {
    if (!range_) return;
    TPieceRange* range = range_;
    range_ = nullptr;
    outstanding_.Clear();
    if (range->discard) {
        if (!range->finished)
            for (int32_t p = range->first; p < range->current; ++p) task_.UnmarkRequested(p);
        task_.RemoveRange(range);
    } else {
        range->owner = nullptr;
    }
}

int TPeerObject::ReceiveBlocksInPlace(TSocket& socket, int64_t& stream_offset, int64_t stream_end) {
    if (outstanding_.empty()) return kInPlaceNotNow;
    // Bytes buffered from an earlier read are the head of the first wanted
    // block (whole blocks were delivered): they move to its place first.
    const int64_t buffered = socket.received_length();
    if (buffered >= outstanding_.records().front().length) return kInPlaceNotNow;
    const int64_t allowance = task_.DownloadAllowance();
    const int64_t budget = std::min(allowance > 0 ? allowance : TSocket::kDefaultReceiveSize, kInPlaceReceiveMax);
    // The run of requested blocks from the stream's position that the piece
    // map has memory for, as few spans as their memory allows.
    const BlockInfo geometry = task_.Geometry();
    struct Placed {
        uint8_t* at;
        int32_t length;
    };
    std::array<Placed, kInPlaceMaxBlocks> blocks;
    std::array<StreamPart, kInPlaceMaxBlocks> parts;
    int count = 0, part_count = 0;
    int64_t run = 0;
    for (const RequestRecord& r : outstanding_.records()) {
        if (count == kInPlaceMaxBlocks || BlockInfo::BlockBegin(r.block) != stream_offset + run || run + r.length > budget)
            break;
        if (stream_end >= 0 && stream_offset + run + r.length > stream_end) break;
        const BlockInfo::Location at = geometry.LocateBlock(r.block);
        if (!geometry.IsBlockInPiece(at.piece, at.offset, r.length)) break;
        uint8_t* span = task_.BlockBuffer(at.piece, at.offset, r.length);
        if (!span) break;
        blocks[size_t(count++)] = {span, r.length};
        StreamPart* last = part_count > 0 ? &parts[size_t(part_count - 1)] : nullptr;
        if (last && last->data + last->length == span) {
            last->length += size_t(r.length);
        } else {
            parts[size_t(part_count++)] = {span, size_t(r.length)};
        }
        run += r.length;
    }
    if (count == 0) return kInPlaceNotNow;
    if (buffered > 0) {
        std::memcpy(blocks[0].at, socket.received(), static_cast<size_t>(buffered));
        socket.Consume(buffered);
        parts[0].data += buffered;
        parts[0].length -= size_t(buffered);
    }
    const int64_t n = socket.ReceiveInto(parts.data(), part_count);
    if (n < 0) return kInPlaceClosed;
    const int64_t got = buffered + n;
    // A block that came only in part goes to the receive buffer first, before
    // any delivery can change the piece map's memory; a later read completes it.
    int whole = 0;
    int64_t whole_bytes = 0;
    while (whole < count && whole_bytes + blocks[size_t(whole)].length <= got) whole_bytes += blocks[size_t(whole++)].length;
    if (whole < count && !socket.KeepReceived(blocks[size_t(whole)].at, got - whole_bytes)) return kInPlaceClosed;
    for (int i = 0; i < whole; ++i) {
        const RequestRecord first = outstanding_.records().front();
        if (!DeliverBlock(first.block, first.length, blocks[size_t(i)].at)) return kInPlaceFailed;
        stream_offset += first.length;
    }
    return kInPlaceDone;
}

bool TPeerObject::DeliverBlock(int64_t block, int32_t length, const uint8_t* data) {
    if (block < 0 || length < 0 || !data) return false;
    if (!IsConnected()) return false;
    if (!task_.HasMetadata()) return true;
    task_.AddReceived(length);
    last_data_time_ = Now();
    if (range_) ++range_->blocks_received;

    const bool found = outstanding_.Take(block, length, kind_ == kKindNode) || task_.TakeSharedRequest(block, length);
    if (!found) return false;
    no_data_passes_ = -2;
    if (activity_ == kActivityIdle) activity_ = kActivityTransferring;

    const BlockInfo geometry = task_.Geometry();
    const BlockInfo::Location at = geometry.LocateBlock(block);
    if (!geometry.IsBlockInPiece(at.piece, at.offset, length)) return false;
    const int32_t piece = at.piece;
    const int64_t offset = at.offset;

    const BlockWriteResult result = task_.WriteBlock(*this, piece, offset, length, data);
    // Another source completed the piece while this block was on its way (the
    // end game, a server taking over): asked for, so no fault of the sender.
    if (result.status == BlockWrite::kNotNeeded) return true;
    if (!result.taken()) return false;
    if (result.hash_failed()) {
        if (task_.ChargeBadPiece(*this, piece)) ++errors_;
        return false;
    }
    task_.AddKindBytes(kind_, length);
    bytes_total_ += length;
    kib_total_ = bytes_total_ / 1024;
    if (result.piece_verified() && task_.InEndgame()) outstanding_.DropUnsent(piece);
    return true;
}

}  // namespace zl
