#include "engine/net/bt_peer.h"

#include <poll.h>

#include <algorithm>
#include <cstring>

#include "engine/meta/block_info.h"

namespace zl {
namespace {

constexpr int64_t kSlowUploadRate = 28672;

// Whole blocks a second at this rate.
int64_t RequestsForRate(int64_t rate) { return BlockInfo::BlockIndex(rate); }

}  // namespace

TBTPeer::TBTPeer(IPeerTask& task, IBtPeerTask& bt, const SocketEnv& env)
    : TPeerObject(task, kKindNode, env), bt_(bt) {}

TBTPeer::~TBTPeer() { Reset(); }

void TBTPeer::ResetState() {
    state_ = BtState{};
    geometry_ = BlockInfo{};
    remote_has_.clear();
    skipped_.clear();
    pending_bitfield_.clear();
    bitfield_pending_ = false;
    remote_id_.fill(0);
    remote_requests_.clear();
    marked_pieces_.clear();
    disguised_ = wrapped_ = handshake_sent_ = flush_toggle_ = false;
    no_data_count_ = 0;
    errors_ = 0;  // the malformed messages tolerated are counted per connection
    snubbed_ = busy_ = doubled_ = false;
    double_piece_ = -1;
    busy_until_ = waiting_since_ = 0;
    request_timeouts_ = 0;
    delivered_blocks_ = 0;
    last_plan_time_ = choked_since_ = seed_since_ = nothing_since_ = 0;
    last_output_time_ = last_sent_total_ = 0;
    partial_progress_ = 0;
    uploaded_ = 0;
    upload_rate = upload_accumulator = 0;
    stall_counter = 0;
    stall_sent = stall_received = 0;
    choked_this_period = not_interested_sent = false;
    rate_second_ = rate_received_mark_ = rate_sent_mark_ = 0;
    measured_down_ = measured_up_ = 0;
}

void TBTPeer::Reset() {
    // The pieces this peer was fetching may be chosen by others again; their
    // blocks go to the shared list with the outstanding requests.
    for (int32_t piece : marked_pieces_) bt_.UnmarkRequested(piece);
    marked_pieces_.clear();
    TPeerObject::Reset();
    ResetState();
}

void TBTPeer::ReleaseRange() { TPeerObject::ReleaseRange(); }

bool TBTPeer::RemoteHas(int32_t piece) const {
    return piece >= 0 && static_cast<size_t>(piece) < remote_has_.size() && remote_has_[static_cast<size_t>(piece)];
}

// --- connecting and the handshake ----------------------------------------------------

bool TBTPeer::AttachIdentity(TPeerId* identity) {
    Reset();
    if (!TPeerObject::AttachIdentity(identity)) return false;
    stats_.incoming = false;
    EnsureSocket();
    // Over the UDP stream the other end is named by its 8-byte identity: peer
    // id bytes 8..15, or 12..19 of a synthesized id (14 zero bytes, then the
    // address and port), which the rendezvous server resolves.
    const bool udp =
        bt_.WantsRelayedPeers() && identity->order_key <= kUdpOrderKeyMax && identity->attempts % 3 == 0;
    TSocket::Identity udp_identity{};
    const PeerIdBytes& id = identity->peer_id;
    const bool synthesized = std::all_of(id.begin(), id.begin() + 14, [](uint8_t b) { return b == 0; });
    std::copy_n(id.begin() + (synthesized ? 12 : 8), udp_identity.size(), udp_identity.begin());
    if (!socket_->Connect(identity->address, identity->port, false, bt_.BindAddress(), udp ? &udp_identity : nullptr))
        return false;
    connection_state_ = kConnOpen;
    activity_ = kActivityWaiting;
    return Start();
}

bool TBTPeer::AttachSocket(std::unique_ptr<TSocket> socket) {
    Reset();
    if (!TPeerObject::AttachSocket(std::move(socket))) return false;
    activity_ = kActivityWaiting;
    return true;
}

bool TBTPeer::Start() {
    // An accepted connection answers only after the remote's handshake.
    if (stats_.incoming) return true;
    return SendHandshake();
}

bool TBTPeer::SendHandshake() {
    const BtHandshake& handshake = bt_.Handshake();
    if (handshake[0] != 19 || !socket_) return false;
    if (stats_.incoming) {
        if (wrapped_) {
            const std::string reply = bt::DisguiseReply(Now());
            if (!SendBytes(reinterpret_cast<const uint8_t*>(reply.data()), reply.size())) return false;
        }
    } else if (identity_ && !socket_->udp_mode() && !identity_->refuses_preamble &&
               (bt_.HttpWrap() || identity_->attempts % 3 == 1)) {
        const std::string header = bt::DisguiseHeader(identity_->address, identity_->port, identity_->attempts);
        if (!SendBytes(reinterpret_cast<const uint8_t*>(header.data()), header.size())) return false;
        disguised_ = true;
    }
    if (!SendBytes(handshake.data(), handshake.size())) return false;
    handshake_sent_ = true;
    return true;
}

bool TBTPeer::CheckIncoming(TSocket* socket) {
    if (!socket || socket->received_length() < static_cast<int64_t>(bt::kHandshakeSize)) return false;
    const uint8_t* h = socket->received();
    if (!bt::IsHandshakeProtocol(h) || !bt_.AcceptsPeers()) return false;
    const BtHandshake& ours = bt_.Handshake();
    if (ours[0] != 19) return false;
    // The remote must speak of our torrent.
    if (std::memcmp(h + bt::kInfoHashOffset, ours.data() + bt::kInfoHashOffset, 20) != 0) return false;
    PeerIdBytes id;
    std::memcpy(id.data(), h + bt::kPeerIdOffset, 20);
    // Our own peer id: we dialled ourselves.
    if (std::memcmp(id.data(), ours.data() + bt::kPeerIdOffset, 20) == 0) return false;
    if (bt_.HasPeerWithId(*this, socket->remote_address(), id)) return false;
    remote_id_ = id;
    if (identity_ && !stats_.incoming) identity_->peer_id = id;
    return true;
}

bool TBTPeer::CompleteHandshake() {
    if (!CheckIncoming(socket_.get())) {
        connection_state_ = kConnNone;
        socket_->Close();
        return false;
    }
    if (stats_.incoming && !SendHandshake()) return false;
    bt_.NoteConnected(*this);
    connection_state_ = kConnHandshakeDone;
    socket_->Consume(static_cast<int64_t>(bt::kHandshakeSize), true);
    geometry_ = task_.Geometry();
    const size_t pieces = static_cast<size_t>(geometry_.piece_count());
    remote_has_.assign(pieces, false);
    skipped_.assign(pieces, false);
    const std::vector<uint8_t> bits = bt_.OwnBitfield();
    if (std::any_of(bits.begin(), bits.end(), [](uint8_t b) { return b != 0; })) {
        out_.clear();
        bt::AppendBitfield(out_, bits);
        if (!SendBytes(out_)) return false;
    }
    state_.pieces_at_bitfield = state_.pieces_now = 0;
    activity_ = kActivityWaiting;
    state_.remote_chokes = true;
    state_.we_choke = true;
    // Interested and unchoke, whether or not the remote has anything we want.
    if (!SendBytes(bt::kInterestedUnchoke, sizeof bt::kInterestedUnchoke)) return false;
    state_.we_choke = false;
    state_.interested_sent = true;
    if (const int32_t size = bt_.ReceiveBufferSize(); size > 0) socket_->SetReceiveBufferSize(size);
    return true;
}

// --- receiving ---------------------------------------------------------------------------

void TBTPeer::NoteRates() {
    if (!socket_) return;
    const uint64_t now = Now();
    if (rate_second_ == 0) {
        rate_second_ = now;
        rate_received_mark_ = socket_->bytes_received();
        rate_sent_mark_ = socket_->bytes_sent();
        return;
    }
    if (now <= rate_second_) return;
    const uint64_t seconds = now - rate_second_;
    measured_down_ = static_cast<int64_t>((socket_->bytes_received() - rate_received_mark_) / seconds);
    measured_up_ = static_cast<int64_t>((socket_->bytes_sent() - rate_sent_mark_) / seconds);
    rate_second_ = now;
    rate_received_mark_ = socket_->bytes_received();
    rate_sent_mark_ = socket_->bytes_sent();
}

int64_t TBTPeer::EffectiveDownloadRate() const { return std::max<int64_t>(transfer_.download_rate, measured_down_); }

int64_t TBTPeer::EffectiveUploadRate() const { return std::max<int64_t>(upload_rate, measured_up_); }

int64_t TBTPeer::RateBlocks() const {
    const int64_t blocks = RequestsForRate(EffectiveDownloadRate());
    // Until the connection's first whole second is measured its queue grows
    // with every block delivered (a slow start): a fast remote is not held to
    // two requests in flight for a whole second, a slow one gets few.
    if (measured_down_ == 0 && transfer_.download_rate == 0) return std::max(blocks, delivered_blocks_);
    // A remote that held back for a while (its own start-up delays, a rate
    // limit that sends in bursts) is measured slow; once it delivers again
    // the queue grows with what arrived in the current second, so it is not
    // held to a few requests until the next whole second is measured.
    return std::max(blocks, ReceivedThisSecond());
}

int64_t TBTPeer::ReceivedThisSecond() const {
    if (!socket_ || rate_second_ == 0 || socket_->bytes_received() < rate_received_mark_) return 0;
    return BlockInfo::BlockIndex(static_cast<int64_t>(socket_->bytes_received() - rate_received_mark_));
}

bool TBTPeer::ReceiveStep() {
    if (!IsConnected()) return false;
    const uint64_t now = Now();
    if (!socket_->connected()) {
        if (!socket_->IsConnected()) {
            if (!socket_->IsOpen()) return false;  // the connect failed
            return now < stats_.attach_time + (socket_->udp_mode() ? kUdpConnectSeconds : kConnectSeconds);
        }
        if (socket_->Flush() < 0) return false;
    }
    NoteRates();
    const bool handshaken = connection_state_ == kConnHandshakeDone;
    const int64_t allowance = task_.DownloadAllowance();
    if (handshaken && allowance == 0) return true;

    int64_t want = 2048;
    const int64_t rate = EffectiveDownloadRate();
    if (handshaken && !state_.remote_chokes && !outstanding_.empty()) {
        want = rate < 65536 ? 16384 + 1024 : rate < 262144 ? 32768 + 1024 : 65536 + 1024;
    }
    if (allowance > 0 && allowance < want) want = std::max<int64_t>(allowance, 192);

    const int64_t before = socket_->received_length();
    const int64_t buffered = socket_->Receive(want, kReceiveLimit);
    if (buffered < 0) {
        // A standard client closes a connection that opened with the
        // preamble before it answers: the next attempt goes without it.
        if (disguised_ && !handshaken && identity_) identity_->refuses_preamble = true;
        return false;
    }
    int64_t arrived = buffered > 0 ? buffered - before : 0;
    if (!handshaken) {
        if (socket_->received_length() > 0 && !wrapped_) {
            size_t length = 0;
            switch (bt::FindPreamble(socket_->received(), static_cast<size_t>(socket_->received_length()), &length)) {
                case bt::Preamble::kFound:
                    socket_->Consume(static_cast<int64_t>(length), true);
                    wrapped_ = true;
                    break;
                case bt::Preamble::kInvalid:
                    return false;
                case bt::Preamble::kNeedMore:
                    return now < stats_.attach_time + kHandshakeSeconds;
                case bt::Preamble::kNone:
                    wrapped_ = false;
                    break;
            }
        }
        if (socket_->received_length() < static_cast<int64_t>(bt::kHandshakeSize)) {
            return now < std::max(stats_.attach_time, socket_->connect_time()) + kHandshakeSeconds;
        }
        if (!CompleteHandshake()) return false;
        arrived = socket_->received_length();
    }
    if (arrived <= 0 && socket_->received_length() == 0) return true;
    if (!ParseReceived(rate, arrived)) return false;
    if (!handshaken) return true;

    // While each read filled the whole request, read again with twice as much,
    // up to a chunk that stays in the cache; each read is parsed at once, so
    // the buffer never holds more than a chunk and the tail of one message.
    int64_t got = arrived;
    while (got > 0 && got == want && arrived < kReceiveLimit) {
        if (allowance > 0 && arrived >= allowance) break;
        want = std::min<int64_t>({want * 2, kReadChunk, kReceiveLimit - arrived});
        if (allowance > 0) want = std::min(want, allowance - arrived);
        if (want <= 0) break;
        const int64_t more_before = socket_->received_length();
        const int64_t more = socket_->Receive(want, kReceiveLimit);
        if (more < 0) return false;
        got = more > 0 ? more - more_before : 0;
        arrived += got;
        if (got > 0 && !ParseReceived(rate, arrived)) return false;
        // Once half the requests in flight came in, they are asked for again
        // at once: a fast remote keeps sending while the rest of its stream
        // is parsed, hashed and written, instead of running dry until the
        // next pass (and one refill a read would cost a send each).
        if (got > 0 && !state_.remote_chokes && InFlight() < RequestTarget() / 2 &&
            !(RequestStep() && SendRequests()))
            return false;
    }
    return true;
}

bool TBTPeer::ParseReceived(int64_t rate, int64_t arrived) {
    const bool was_choked = state_.remote_chokes;
    size_t consumed = 0;
    const bool ok = ParseMessages(&consumed);
    if (consumed > 0) {
        const bool keep = rate >= 262144 || arrived > 16383;
        socket_->Consume(static_cast<int64_t>(consumed), keep);
    }
    if (!ok) return false;
    if (state_.remote_chokes != was_choked) OnRemoteChoke(state_.remote_chokes);
    return IsConnected();
}

bool TBTPeer::CountError() {
    ++errors_;
    return errors_ <= kMaxErrors;
}

bool TBTPeer::ParseMessages(size_t* consumed) {
    *consumed = 0;
    const uint8_t* data = socket_->received();
    const size_t size = static_cast<size_t>(socket_->received_length());
    while (*consumed < size) {
        const bt::Frame frame = bt::ReadFrame(data + *consumed, size - *consumed);
        if (frame.status == bt::Frame::kOversized) return false;
        if (frame.status == bt::Frame::kNeedMore) {
            // A block on its way: its request does not time out while it trickles in.
            if (frame.id == bt::kPiece && frame.available >= 13 && connection_state_ == kConnHandshakeDone &&
                !geometry_.empty()) {
                const int64_t have = static_cast<int64_t>(frame.available);
                if (have >= partial_progress_ + 1024) {
                    partial_progress_ = have;
                    waiting_since_ = Now();
                    const uint8_t* p = data + *consumed + 5;
                    const int32_t piece = static_cast<int32_t>(bt::ReadU32(p));
                    const int64_t begin = bt::ReadU32(p + 4);
                    if (geometry_.IsPiece(piece) && begin < geometry_.PieceSize(piece))
                        if (RequestRecord* r = outstanding_.Find(geometry_.BlockOf(piece, begin))) r->time = Now();
                }
            }
            break;
        }
        partial_progress_ = 0;
        if (!frame.keep_alive && !HandleMessage(frame)) return false;
        *consumed += frame.size;
        if (!IsConnected()) return false;
    }
    return true;
}

void TBTPeer::EnsureGeometry() {
    if (!geometry_.empty() || !task_.HasMetadata()) return;
    geometry_ = task_.Geometry();
    remote_has_.assign(static_cast<size_t>(geometry_.piece_count()), false);
    skipped_.assign(remote_has_.size(), false);
}

bool TBTPeer::HandleMessage(const bt::Frame& frame) {
    EnsureGeometry();
    switch (frame.id) {
        case bt::kChoke:
            state_.remote_chokes = true;
            activity_ = kActivityWaiting;
            if (choked_since_ == 0) choked_since_ = Now();
            return true;
        case bt::kUnchoke:
            state_.remote_chokes = false;
            activity_ = state_.we_choke ? kActivityWaiting : kActivityTransferring;
            choked_since_ = 0;
            return true;
        case bt::kInterested:
            state_.remote_interested = true;
            return true;
        case bt::kNotInterested:
            state_.remote_interested = false;
            return true;
        case bt::kHave: {
            uint32_t index = 0;
            if (!bt::ParseHave(frame, &index)) return CountError();
            if (task_.HasMetadata() && index >= static_cast<uint32_t>(geometry_.piece_count())) return CountError();
            HandleHave(index);
            return true;
        }
        case bt::kBitfield:
            return HandleBitfield(frame);
        case bt::kRequest: {
            bt::BlockRef ref;
            if (!bt::ParseBlockRef(frame, &ref)) return CountError();
            return HandleRequest(ref);
        }
        case bt::kPiece:
            return HandlePiece(frame);
        case bt::kCancel: {
            bt::BlockRef ref;
            if (!bt::ParseBlockRef(frame, &ref)) return CountError();
            HandleCancel(ref);
            return true;
        }
        default:
            return true;  // other messages are skipped whole
    }
}

void TBTPeer::HandleHave(uint32_t index) {
    if (geometry_.empty()) return;  // without the metadata there is nothing to mark yet
    const size_t i = index;
    ++state_.haves_received;
    state_.last_have = static_cast<int32_t>(index);
    skipped_[i] = false;
    if (!remote_has_[i]) {
        remote_has_[i] = true;
        ++state_.pieces_now;
        if (state_.pieces_now >= geometry_.piece_count()) IsSeed();
    }
    if (task_.PieceWanted(static_cast<int32_t>(index))) state_.remote_has_nothing = false;
}

bool TBTPeer::HandleBitfield(const bt::Frame& frame) {
    if (!task_.HasMetadata() || geometry_.empty()) {
        // Kept until the metadata tells how long it must be.
        pending_bitfield_.assign(frame.payload, frame.payload + frame.payload_size);
        bitfield_pending_ = true;
        return true;
    }
    const int32_t pieces = geometry_.piece_count();
    if (frame.payload_size != static_cast<uint32_t>((pieces + 7) / 8)) return false;
    int32_t count = 0;
    bool wanted = false;
    for (int32_t p = 0; p < pieces; ++p) {
        // Spare bits past the last piece are ignored.
        const bool has = (frame.payload[p / 8] & (0x80 >> (p % 8))) != 0;
        remote_has_[static_cast<size_t>(p)] = has;
        if (has) {
            ++count;
            if (!wanted && task_.PieceWanted(p)) wanted = true;
        }
    }
    state_.pieces_at_bitfield = state_.pieces_now = count;
    state_.remote_has_nothing = count == 0;
    if (count >= pieces) IsSeed();
    return true;
}

void TBTPeer::CheckPendingBitfield() {
    if (!bitfield_pending_ || !task_.HasMetadata()) return;
    bitfield_pending_ = false;
    EnsureGeometry();
    // A bitfield of the wrong length for the metadata that arrived is dropped.
    if (pending_bitfield_.size() != static_cast<size_t>((geometry_.piece_count() + 7) / 8)) {
        pending_bitfield_.clear();
        return;
    }
    bt::Frame frame;
    frame.status = bt::Frame::kComplete;
    frame.id = bt::kBitfield;
    frame.payload = pending_bitfield_.data();
    frame.payload_size = static_cast<uint32_t>(pending_bitfield_.size());
    HandleBitfield(frame);
    pending_bitfield_.clear();
}

bool TBTPeer::HandleRequest(const bt::BlockRef& ref) {
    // Checked against the torrent: the index, a length of 1..131072 and an end
    // inside the piece; one outside it is a malformed message, and a remote
    // that sends them without end goes as for any other. Requests while we
    // choke, for pieces we do not hold and duplicates are not queued.
    const int32_t piece = ref.index > static_cast<uint32_t>(INT32_MAX) ? -1 : static_cast<int32_t>(ref.index);
    if (!geometry_.IsRangeInPiece(piece, ref.begin, ref.length, bt::kMaxBlockLength)) return CountError();
    if (state_.we_choke || !bt_.HavePiece(piece)) return true;
    if (remote_requests_.size() >= kMaxQueuedRemoteRequests) return true;
    for (const bt::BlockRef& r : remote_requests_)
        if (r.index == ref.index && r.begin == ref.begin && r.length == ref.length) return true;
    remote_requests_.push_back(ref);
    return true;
}

void TBTPeer::HandleCancel(const bt::BlockRef& ref) {
    for (auto it = remote_requests_.begin(); it != remote_requests_.end(); ++it) {
        if (it->index == ref.index && it->begin == ref.begin && it->length == ref.length) {
            remote_requests_.erase(it);
            return;
        }
    }
}

bool TBTPeer::HandlePiece(const bt::Frame& frame) {
    // The private "cannot read" reply of other engines of this program is no block.
    if (bt::IsCannotReadReply(frame)) return true;
    uint32_t index = 0, begin = 0, length = 0;
    const uint8_t* block = nullptr;
    // A piece message without a block is skipped as one malformed message.
    if (!bt::ParsePieceHeader(frame, &index, &begin, &block, &length)) return CountError();
    if (length > bt::kMaxBlockLength) return false;
    if (!task_.HasMetadata() || geometry_.empty()) return true;
    const int32_t piece = index > static_cast<uint32_t>(INT32_MAX) ? -1 : static_cast<int32_t>(index);
    if (!geometry_.IsBlockInPiece(piece, begin, length)) return CountError();
    const int64_t block_index = geometry_.BlockOf(piece, begin);
    if (static_cast<int64_t>(length) != geometry_.BlockLength(block_index)) return CountError();
    const RequestRecord* mine = outstanding_.Find(block_index);
    const bool requested = (mine && mine->sent && mine->length == static_cast<int32_t>(length)) ||
                           task_.SharedRequestListed(block_index);
    // A block we did not ask for (or cancelled a moment ago) is not written;
    // standard clients send such blocks after a cancel, so the connection goes on.
    if (!requested) return true;
    const int32_t errors_before = errors_;
    if (DeliverBlock(block_index, static_cast<int32_t>(length), block, 0)) {
        no_data_count_ = -2;
        ++delivered_blocks_;
        waiting_since_ = Now();
        snubbed_ = false;
        return true;
    }
    // A piece that failed its hash was charged to this peer's source: end the connection.
    return errors_ == errors_before;
}

void TBTPeer::OnRemoteChoke(bool choked) {
    if (choked) {
        if (!outstanding_.empty()) ReturnOutstanding(true);
    } else {
        no_data_count_ = 0;
        waiting_since_ = 0;
        SendRequests();
    }
}

void TBTPeer::ReturnOutstanding(bool send_cancels) {
    if (send_cancels && IsConnected()) {
        for (const RequestRecord& r : outstanding_.records())
            if (r.sent) SendBlockRef(bt::kCancel, r);
    }
    std::vector<RequestRecord> records = outstanding_.TakeAll();
    for (RequestRecord& r : records) r.sent = false;
    task_.ReturnRequests(records);
    // The pieces are others' to take now: their blocks wait on the shared list.
    UnmarkIdlePieces();
}

void TBTPeer::UnmarkIdlePieces() {
    for (size_t i = 0; i < marked_pieces_.size();) {
        const int32_t piece = marked_pieces_[i];
        if (outstanding_.HasPiece(piece)) {
            ++i;
            continue;
        }
        bt_.UnmarkRequested(piece);
        marked_pieces_.erase(marked_pieces_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void TBTPeer::MarkTakenPieces() {
    int32_t previous = -1;
    for (const RequestRecord& r : outstanding_.records()) {
        if (r.piece == previous) continue;
        previous = r.piece;
        if (std::find(marked_pieces_.begin(), marked_pieces_.end(), r.piece) != marked_pieces_.end()) continue;
        if (bt_.MarkRequested(r.piece)) marked_pieces_.push_back(r.piece);
    }
}

bool TBTPeer::CheckRequestTimeout(uint64_t now) {
    if (waiting_since_ == 0 || now < waiting_since_ + kRequestTimeoutSeconds || InFlight() == 0) return false;
    // A remote that takes requests and sends nothing must not hold pieces
    // hostage: they go to other peers, and are not asked of this one again
    // until nothing else is left.
    for (const RequestRecord& r : outstanding_.records())
        if (static_cast<size_t>(r.piece) < skipped_.size()) skipped_[static_cast<size_t>(r.piece)] = true;
    ReturnOutstanding(true);
    snubbed_ = true;
    ++request_timeouts_;
    waiting_since_ = 0;
    return true;
}

// --- requests ------------------------------------------------------------------------------

int64_t TBTPeer::InFlight() const {
    int64_t n = 0;
    for (const RequestRecord& r : outstanding_.records()) n += r.sent ? 1 : 0;
    return n;
}

bool TBTPeer::AnyInFlight() const {
    // Requests go out in the list's order, so a sent one is found at once.
    for (const RequestRecord& r : outstanding_.records())
        if (r.sent) return true;
    return false;
}

bool TBTPeer::SendBlockRef(bt::MessageId id, const RequestRecord& record) {
    const BlockInfo::Location at = geometry_.LocateBlock(record.block);
    if (at.piece < 0) return true;
    out_.clear();
    bt::BlockRef ref{static_cast<uint32_t>(at.piece), static_cast<uint32_t>(at.offset),
                     static_cast<uint32_t>(record.length)};
    bt::AppendBlockRef(out_, id, ref);
    return SendBytes(out_);
}

bool TBTPeer::SendUpTo(int64_t target) {
    int64_t in_flight = InFlight();
    if (in_flight == 0) waiting_since_ = Now();
    // All requests of a refill go out in one send: one system call and one
    // segment instead of one per few dozen requests.
    std::vector<uint8_t>& batch = request_batch_;
    batch.clear();
    const bool endgame = bt_.InEndgameNow();
    const uint64_t now = Now();
    std::vector<int64_t> invalid;
    for (RequestRecord& r : outstanding_.records()) {
        if (in_flight >= target) break;
        if (r.sent) continue;
        const BlockInfo::Location at = geometry_.LocateBlock(r.block);
        if (at.piece < 0 || r.length < 1 || (endgame && task_.BlockPresent(at.piece, at.offset, r.length))) {
            invalid.push_back(r.block);
            continue;
        }
        bt::BlockRef ref{static_cast<uint32_t>(at.piece), static_cast<uint32_t>(at.offset),
                         static_cast<uint32_t>(r.length)};
        bt::AppendBlockRef(batch, bt::kRequest, ref);
        r.sent = true;
        r.time = now;
        ++in_flight;
    }
    for (int64_t block : invalid) outstanding_.Remove(block);
    return batch.empty() || SendBytes(batch);
}

bool TBTPeer::SendRequests() {
    if (!IsConnected()) return false;
    if (!HandshakeDone() || state_.remote_chokes || outstanding_.empty()) return true;
    const int64_t per_rate = RateBlocks();
    const int64_t in_flight = InFlight();
    if (in_flight >= std::max<int64_t>(5, per_rate - 1)) return true;
    return SendUpTo(RequestTarget());
}

int64_t TBTPeer::RequestTarget() const {
    return std::min<int64_t>(std::max<int64_t>(6, RateBlocks() + 2), kMaxQueueDepth);
}

int32_t TBTPeer::AddPieceRequests(int32_t piece, int64_t depth) {
    int64_t first_missing = 0, piece_size = 0;
    if (!task_.MissingSpan(piece, &first_missing, &piece_size)) return 0;
    const bool endgame = bt_.InEndgameNow();
    const uint64_t now = Now();
    int32_t added = 0;
    for (int64_t offset = BlockInfo::AlignDown(first_missing); offset < piece_size; offset += BlockInfo::kBlock) {
        const int32_t length = BlockInfo::BlockLengthAt(piece_size, offset);
        const int64_t block = geometry_.BlockOf(piece, offset);
        if (outstanding_.Contains(block) || task_.BlockPresent(piece, offset, length)) continue;
        RequestRecord record;
        record.block = block;
        record.length = length;
        record.time = now;
        record.piece = piece;
        const bool room = static_cast<int64_t>(outstanding_.size()) < depth;
        if (task_.SharedRequestListed(block)) {
            // Handed back by another peer: taken over, not fetched twice; but
            // not by a remote that let its own requests time out (it would
            // hold the block through another timeout: it waits for a remote
            // that delivers).
            if (room && !endgame && !snubbed_ && task_.TakeSharedRequest(block, length)) {
                outstanding_.Add(record);
                ++added;
            } else if (room && endgame) {
                outstanding_.Add(record);
                ++added;
            }
            continue;
        }
        if (room) {
            outstanding_.Add(record);
            ++added;
        } else {
            task_.AddSharedRequest(record);
        }
    }
    return added;
}

void TBTPeer::ForgetMarkedPiece(int32_t piece) {
    auto it = std::find(marked_pieces_.begin(), marked_pieces_.end(), piece);
    if (it != marked_pieces_.end()) marked_pieces_.erase(it);
}

bool TBTPeer::RequestStep() {
    if (!IsConnected()) return false;
    if (!HandshakeDone() || !task_.HasMetadata()) return true;
    EnsureGeometry();
    CheckPendingBitfield();
    if (state_.remote_chokes) {
        if (!outstanding_.empty() && ++no_data_count_ > kChokedPasses) {
            if (bt_.DropChokedPeers()) return false;
            ReturnOutstanding(true);
        }
        return true;
    }
    const bool complete = task_.IsComplete();
    if (complete) {
        if (!outstanding_.empty()) ReturnOutstanding(true);
        return true;
    }
    const uint64_t now = Now();
    if (CheckRequestTimeout(now)) return true;
    if (state_.remote_has_nothing && now < last_plan_time_ + kReplanSeconds) return SendRequests();

    // A remote that let requests time out gets one at a time until it delivers.
    const int64_t depth = snubbed_ ? 1 : std::min<int64_t>(2 + 2 * RateBlocks(), kMaxQueueDepth);
    const int64_t wanted =
        snubbed_ ? 1 : std::max<int64_t>(2, std::min<int64_t>(2 * RateBlocks(), kMaxQueueDepth));
    if (static_cast<int64_t>(outstanding_.size()) < wanted && state_.pieces_now > 0) {
        last_plan_time_ = now;
        // Requests others handed back go to remotes that deliver.
        const auto offered = [this](int32_t p) { return RemoteHas(p) && !skipped_[static_cast<size_t>(p)]; };
        if (!snubbed_ && bt_.TakeSharedRequests(outstanding_, offered, static_cast<int32_t>(depth)))
            MarkTakenPieces();
        // A few pieces per pass at most, so one fast remote fills its queue
        // quickly without one pass planning the whole torrent. While other
        // peers fetch every piece this remote offers, look again a second later.
        for (int tries = 0; tries < 8 && static_cast<int64_t>(outstanding_.size()) < depth && now >= busy_until_;
             ++tries) {
            const int32_t piece = NextPiece();
            if (piece < 0) {
                if (busy_) busy_until_ = now + 1;
                // Nothing qualifies: pieces skipped for this remote may be asked again.
                std::fill(skipped_.begin(), skipped_.end(), false);
                break;
            }
            marked_pieces_.push_back(piece);
            if (AddPieceRequests(piece, depth) == 0 && !outstanding_.HasPiece(piece)) {
                bt_.UnmarkRequested(piece);
                ForgetMarkedPiece(piece);
                if (static_cast<size_t>(piece) < skipped_.size()) skipped_[static_cast<size_t>(piece)] = true;
            }
        }
    }
    if (!outstanding_.empty() && !AnyInFlight()) {
        no_data_count_ = 0;
        return SendUpTo(RequestTarget());
    }
    return true;
}

int32_t TBTPeer::NextPiece() {
    if (!IsConnected() || !task_.HasMetadata() || !task_.P2PEnabled()) return -1;
    const bool had_something = !state_.remote_has_nothing;
    state_.remote_has_nothing = false;
    BtPieceQuery query;
    query.offered = [this](int32_t p) {
        return RemoteHas(p) && !skipped_[static_cast<size_t>(p)] && !outstanding_.HasPiece(p) &&
               std::find(marked_pieces_.begin(), marked_pieces_.end(), p) == marked_pieces_.end();
    };
    query.last_have = state_.last_have;
    busy_ = doubled_ = false;
    query.busy = &busy_;
    query.may_double = double_piece_ < 0 || !outstanding_.HasPiece(double_piece_);
    query.doubled = &doubled_;
    const int32_t piece = bt_.ChoosePiece(*this, query);
    if (piece >= 0) {
        if (doubled_) double_piece_ = piece;
        stats_.current_piece = piece;
        return piece;
    }
    // Pieces others fetch are no reason to count the remote as having nothing.
    if (busy_) return -1;
    if (had_something) nothing_since_ = Now();
    state_.remote_has_nothing = true;
    return -1;
}

void TBTPeer::CancelObsolete() {
    if (!IsConnected() || geometry_.empty()) return;
    std::vector<int64_t> done;
    for (const RequestRecord& r : outstanding_.records()) {
        if (task_.PieceWanted(r.piece)) continue;
        if (r.sent) SendBlockRef(bt::kCancel, r);
        done.push_back(r.block);
    }
    for (int64_t block : done) outstanding_.Remove(block);
    // Pieces finished by others are no longer this peer's.
    for (size_t i = 0; i < marked_pieces_.size();) {
        if (!task_.PieceWanted(marked_pieces_[i]) && !outstanding_.HasPiece(marked_pieces_[i]))
            marked_pieces_.erase(marked_pieces_.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
    // Requests that have waited long near the reader's position are shared, so
    // another peer may fetch them too.
    const int32_t position = task_.SchedulingPosition();
    if (position < 0) return;
    const int64_t length = geometry_.piece_length();
    const int64_t window = length > 0 ? std::max<int64_t>(1, 8388608 / length) : 40;
    const uint64_t now = Now();
    for (RequestRecord& r : outstanding_.records()) {
        if (r.piece < position || r.piece >= position + window || now < r.time + 8) continue;
        if (task_.SharedRequestListed(r.block)) continue;
        RequestRecord copy = r;
        copy.time = now;
        copy.sent = false;
        task_.AddSharedRequest(copy);
    }
}

bool TBTPeer::CancelRequest(int64_t block) {
    const RequestRecord* r = outstanding_.Find(block);
    if (!r) return false;
    if (r->sent && IsConnected()) SendBlockRef(bt::kCancel, *r);
    outstanding_.Remove(block);
    return true;
}

// --- uploads -------------------------------------------------------------------------------

void TBTPeer::AddWaitEntries(std::vector<pollfd>& entries) const {
    const size_t before = entries.size();
    TPeerObject::AddWaitEntries(entries);
    // A UDP stream's event descriptor turns readable when its window opens;
    // asked for writability it would always answer at once.
    if (entries.size() > before && connection_state_ == kConnHandshakeDone && !state_.we_choke &&
        !remote_requests_.empty() && !socket_->udp_mode())
        entries.back().events |= POLLOUT;
}

bool TBTPeer::UploadStep() {
    if (!IsConnected() || !HandshakeDone() || state_.we_choke || stats_.send_pending || remote_requests_.empty())
        return true;
    if (socket_->queued_length() > 0 || !task_.HasMetadata() || geometry_.empty()) return true;
    int64_t allowance = bt_.UploadAllowance();
    if (allowance == 0) return true;
    if (allowance < 0) allowance = geometry_.piece_length();
    const int64_t rate = EffectiveUploadRate();
    int64_t budget = rate / 65536 > 1 ? (rate / 65536 - 1) * BlockInfo::kBlock : BlockInfo::kBlock;
    if (task_.IsComplete()) budget += BlockInfo::kBlock;
    // What the remote asked for goes as soon as the socket takes it (up to a
    // burst), from a seed and a downloading peer alike: a new connection runs
    // at full speed at once instead of ramping up with its measured rate.
    const int64_t asked = static_cast<int64_t>(remote_requests_.size()) * BlockInfo::kBlock;
    budget = std::max(budget, std::min(asked, kUploadBurstBytes));
    budget = std::min(budget, allowance);
    int64_t served = 0;
    while (!remote_requests_.empty()) {
        const bt::BlockRef ref = remote_requests_.front();
        if (served > 0 && served + ref.length > budget) break;
        const int32_t piece = static_cast<int32_t>(ref.index);
        block_.resize(ref.length);
        const int32_t read = bt_.ReadBlock(piece, ref.begin, static_cast<int32_t>(ref.length), block_.data());
        remote_requests_.pop_front();
        if (read != static_cast<int32_t>(ref.length)) {
            // Nothing is sent for a block we cannot read (a standard client
            // would take a reply as an unrequested block); the remote's
            // requests for that piece are dropped.
            remote_requests_.erase(std::remove_if(remote_requests_.begin(), remote_requests_.end(),
                                                  [&](const bt::BlockRef& r) { return r.index == ref.index; }),
                                   remote_requests_.end());
            continue;
        }
        out_.clear();
        bt::AppendPieceHeader(out_, ref.index, ref.begin, ref.length);
        out_.insert(out_.end(), block_.begin(), block_.end());
        if (!SendBytes(out_)) return false;
        served += ref.length;
        uploaded_ += ref.length;
        bt_.AddUploaded(ref.length);
    }
    return true;
}

bool TBTPeer::SendBytes(const uint8_t* data, size_t size) {
    if (!socket_) return false;
    if (socket_->Send(data, static_cast<int64_t>(size)) < 0) return false;
    last_output_time_ = Now();
    return true;
}

bool TBTPeer::SendStep() {
    if (!IsConnected()) return false;
    const uint64_t now = Now();
    if (HandshakeDone()) {
        if (socket_->bytes_sent() != last_sent_total_) {
            last_sent_total_ = socket_->bytes_sent();
            last_output_time_ = now;
        } else if (last_output_time_ == 0) {
            last_output_time_ = now;
        } else if (now >= last_output_time_ + kKeepAliveSeconds && socket_->queued_length() == 0) {
            // Standard clients close connections that stay silent for two minutes.
            if (!SendBytes(bt::kKeepAlive, sizeof bt::kKeepAlive)) return false;
        }
    }
    const int64_t queued = socket_->queued_length();
    if (queued == 0 || !socket_->connected()) return true;
    if (EffectiveUploadRate() < kSlowUploadRate && queued > 1024) {
        flush_toggle_ = !flush_toggle_;
        if (flush_toggle_) return true;
    }
    if (socket_->Flush() < 0) return false;
    stats_.send_pending = socket_->queued_length() > 0;
    return true;
}

// --- choking and the task's views ----------------------------------------------------------

void TBTPeer::Choke() {
    if (!HandshakeDone()) return;
    out_.clear();
    bt::AppendSimple(out_, bt::kChoke);
    SendBytes(out_);
    state_.we_choke = true;
    activity_ = kActivityWaiting;
    // A choked remote's pending requests are dropped, as standard clients expect.
    remote_requests_.clear();
}

void TBTPeer::Unchoke() {
    if (!HandshakeDone()) return;
    out_.clear();
    bt::AppendSimple(out_, bt::kUnchoke);
    SendBytes(out_);
    state_.we_choke = false;
    activity_ = state_.remote_chokes ? kActivityWaiting : kActivityTransferring;
}

void TBTPeer::SendNotInterested() {
    if (!HandshakeDone() || not_interested_sent) return;
    out_.clear();
    bt::AppendSimple(out_, bt::kNotInterested);
    SendBytes(out_);
    not_interested_sent = true;
    state_.interested_sent = false;
}

bool TBTPeer::IsUseless() {
    if (!task_.P2PEnabled()) return true;
    if (!socket_ || socket_->connect_time() == 0) return false;
    const uint64_t now = Now();
    if (now < socket_->connect_time() + 120) return false;
    const bool seeding = task_.IsComplete();
    const uint64_t average = seeding ? socket_->SendRate(now) : socket_->ReceiveRate(now);
    const int64_t current = seeding ? upload_rate : transfer_.download_rate;
    return average <= 18 && current == 0;
}

bool TBTPeer::IsStalled() {
    return state_.remote_has_nothing && nothing_since_ != 0 && Now() > nothing_since_ + kStalledSeconds;
}

bool TBTPeer::IsSeed() {
    if (seed_since_ != 0) return true;
    if (geometry_.empty() || state_.pieces_now < geometry_.piece_count()) return false;
    seed_since_ = std::max<uint64_t>(Now(), 1);
    return true;
}

bool TBTPeer::IsLongSeed() { return IsSeed() && Now() > seed_since_ + 15; }

int64_t TBTPeer::RemoteRate() {
    const int32_t gained = state_.pieces_now - state_.pieces_at_bitfield;
    if (gained <= 4 || !socket_ || socket_->connect_time() == 0) return 0;
    const uint64_t now = Now();
    const uint64_t seconds = now > socket_->connect_time() ? now - socket_->connect_time() : 1;
    return static_cast<int64_t>(gained) * (geometry_.piece_length() / 1024) / static_cast<int64_t>(seconds);
}

}  // namespace zl
