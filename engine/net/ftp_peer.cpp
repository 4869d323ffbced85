#include "engine/net/ftp_peer.h"

#include <algorithm>
#include <string_view>

#include "engine/net/server_peer_support.h"

namespace zl {

namespace {
// A body collected in memory is never larger than this, whatever the server says.
constexpr int64_t kMaxWholeContent = 2147483647;
}  // namespace

TFtpPeer::TFtpPeer(IPeerTask& task, const SocketEnv& env) : TPeerObject(task, kKindFtp, env) {}

TFtpPeer::~TFtpPeer() { Reset(); }

void TFtpPeer::Reset() {
    TPeerObject::Reset();
    if (data_) data_->Close();
    if (session_) session_->Reset();
    reader_.Reset();
    saw_4xx_ = saw_5xx_ = false;
    broken_ = false;
    stream_offset_ = 0;
    skip_ = 0;
    empty_transfers_ = 0;
}

void TFtpPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    skip_ = 0;
    stream_offset_ = 0;
    if (session_ && (session_->step() == FtpStep::kTransfer || (data_ && data_->IsOpen()))) {
        if (!EndTransfer()) broken_ = true;
    }
}

bool TFtpPeer::AttachIdentity(TPeerId* identity) {
    if (!TPeerObject::AttachIdentity(identity)) return false;
    const TSourceAddress& source = identity_->Source();
    session_.emplace(FtpSessionConfig{source.user, source.password, source.path, source.file_name,
                                      source.whole_content});
    reader_.Reset();
    if (data_) data_->Close();
    saw_4xx_ = saw_5xx_ = false;
    broken_ = false;
    stream_offset_ = 0;
    skip_ = 0;
    empty_transfers_ = 0;
    if (!socket_->Connect(identity_->address, identity_->port, false)) return false;
    connection_state_ = kConnOpen;
    stats_.incoming = false;
    return IsConnected();
}

bool TFtpPeer::IsTimedOut() {
    return TimedOutAfter(FtpTimeoutSeconds(step(), transfer_.download_rate));
}

bool TFtpPeer::SendCommand(const std::string& line) {
    return socket_->Send(line.data(), static_cast<int64_t>(line.size())) >= 0;
}

bool TFtpPeer::SendStep() {
    if (!session_ || session_->phase() != FtpPhase::kFlushing) return true;
    if (socket_->queued_length() > 0 && socket_->Flush() < 0) return false;
    if (socket_->queued_length() == 0 && socket_->connected()) session_->OnCommandFlushed();
    return true;
}

bool TFtpPeer::RequestStep() {
    if (!IsConnected() || broken_ || !session_) return false;
    const TSourceAddress& source = identity_->Source();
    if (source.whole_content && source.content_complete) {
        activity_ = kActivityFinished;  // the body is the task's now; this connection is done
        return false;
    }
    if (!source.whole_content) {
        if (source.content_length > 0) {
            const int64_t total = TaskTotalSize(task_);
            if (total > 0 && total != source.content_length) {
                socket_->Close();
                task_.PenaliseSource(identity_, true, kServerPenalty);
                return false;
            }
        }
        const FtpStep step = session_->step();
        if ((step == FtpStep::kTransfer || step == FtpStep::kPasv) && outstanding_.empty()) {
            skip_ = 0;
            TPeerObject::RequestStep();
            if (outstanding_.empty()) {
                activity_ = kActivityFinished;  // nothing left for this peer
                return false;
            }
        }
        if (broken_) return false;  // following the task's reader cut a transfer short
    }
    if (session_->phase() != FtpPhase::kQueue) return true;
    if (std::optional<std::string> command = session_->TakeCommand(!outstanding_.empty()))
        return SendCommand(*command);
    return true;
}

bool TFtpPeer::ReceiveStep() {
    if (!IsConnected() || broken_ || !session_) return false;
    if (session_->phase() != FtpPhase::kAwaitReply) return true;
    if (IsTimedOut()) {
        task_.PenaliseSource(identity_, true, kTimeoutPenalty);
        return false;
    }
    if (session_->step() != FtpStep::kTransfer) return HandleReplies();
    if (task_.DownloadAllowance() == 0 && connection_state_ != kConnOpen) return true;
    return identity_->Source().whole_content ? ReadWholeContent() : ReadBlocks();
}

bool TFtpPeer::HandleReplies() {
    if (socket_->Receive(0, kControlLimit) < 0) return false;
    // One reply per expected step; what follows stays buffered for its turn.
    while (session_->phase() == FtpPhase::kAwaitReply && session_->step() != FtpStep::kTransfer) {
        const std::string_view buffered(reinterpret_cast<const char*>(socket_->received()),
                                        static_cast<size_t>(socket_->received_length()));
        if (buffered.empty()) return true;
        size_t consumed = 0;
        const FtpReplyReader::Status status = reader_.Feed(buffered, consumed);
        socket_->Consume(static_cast<int64_t>(consumed));
        if (status == FtpReplyReader::Status::kError) return false;
        if (status == FtpReplyReader::Status::kNeedMore) return true;
        const FtpReply& reply = reader_.reply();
        last_data_time_ = Now();
        if (reply.code >= 400 && reply.code <= 499) saw_4xx_ = true;
        if (reply.code >= 500 && reply.code <= 599) saw_5xx_ = true;
        if (!HandleOutcome(session_->OnReply(reply))) return false;
    }
    return true;
}

bool TFtpPeer::HandleOutcome(const FtpOutcome& outcome) {
    switch (outcome.event) {
        case FtpEvent::kWait:
        case FtpEvent::kTransferEnded: return true;
        case FtpEvent::kNextStep:
            if (outcome.logged_in) connection_state_ = kConnHandshakeDone;
            if (outcome.content_length >= 0) identity_->Source().content_length = outcome.content_length;
            return true;
        case FtpEvent::kConnectData: return ConnectData(outcome.data_port);
        case FtpEvent::kCommandQueued: return SendCommand(outcome.command);
        case FtpEvent::kTransferStarted:
            skip_ = 0;
            transfer_start_bytes_ = bytes_total_;
            return true;
        case FtpEvent::kFail:
            if (outcome.penalise) task_.PenaliseSource(identity_, true, kServerPenalty);
            return false;
    }
    return false;
}

bool TFtpPeer::ConnectData(uint16_t port) {
    if (data_)
        data_->Close();
    else
        data_ = std::make_unique<TSocket>(PeerSocketEnv(env_, task_));
    // Only the port comes from the reply: the data goes to the server we logged in to.
    if (!data_->Connect(socket_->remote_address(), port, false)) return false;
    const TSourceAddress& source = identity_->Source();
    if (!source.whole_content && !outstanding_.empty())
        stream_offset_ = BlockInfo::BlockBegin(outstanding_.records().front().block);
    skip_ = 0;
    return HandleOutcome(session_->OnDataConnected(stream_offset_));
}

bool TFtpPeer::EndTransfer() {
    if (data_) data_->Close();
    return session_->OnTransferClosed();
}

bool TFtpPeer::ServerEndedTransfer() {
    if (bytes_total_ > transfer_start_bytes_) {
        empty_transfers_ = 0;
    } else if (++empty_transfers_ >= kMaxEmptyTransfers) {
        // A quota or a broken server: asking again would bring the same.
        if (data_) data_->Close();
        socket_->Close();
        task_.PenaliseSource(identity_, true, kServerPenalty);
        return false;
    }
    return EndTransfer();
}

bool TFtpPeer::ReadWholeContent() {
    TSourceAddress& source = identity_->Source();
    const int64_t limit = source.content_length > 0 ? source.content_length : kMaxWholeContent;
    if (limit > kMaxWholeContent) return false;  // a size named by the server is no licence to hold more
    if (!data_ || data_->Receive(PassReceiveSize(task_), kDataLimit) < 0) {
        if (source.content.empty() || static_cast<int64_t>(source.content.size()) < source.content_length)
            return false;
        source.content_complete = true;
        return EndTransfer();
    }
    const int64_t available = data_->received_length();
    if (available == 0) return true;
    const int64_t room = limit - static_cast<int64_t>(source.content.size());
    if (available > room) return false;  // more than the server said the file holds
    source.content.append(reinterpret_cast<const char*>(data_->received()), static_cast<size_t>(available));
    data_->Consume(available);
    stream_offset_ += available;
    last_data_time_ = Now();
    if (static_cast<int64_t>(source.content.size()) == source.content_length) source.content_complete = true;
    return true;
}

bool TFtpPeer::ReadBlocks() {
    if (data_ && skip_ == 0) {
        // The transfer's bytes go straight into the piece map's memory where it offers it.
        const int in_place = ReceiveBlocksInPlace(*data_, stream_offset_, -1);
        if (in_place == kInPlaceFailed) return false;
        if (in_place == kInPlaceClosed) return ServerEndedTransfer();
        if (in_place == kInPlaceDone) return true;
    }
    // A closed data socket keeps nothing; the next transfer starts at the first wanted block.
    if (!data_) return EndTransfer();
    if (data_->Receive(PassReceiveSize(task_), kDataLimit) < 0) return ServerEndedTransfer();
    const int result = DataStep();
    if (result < 0) return false;
    if (result == 0) {
        stream_offset_ = 0;
        skip_ = 0;
        return EndTransfer();
    }
    return true;
}

int TFtpPeer::DataStep() {
    if (outstanding_.empty() && skip_ == 0) return 1;
    const uint8_t* data = data_->received();
    const int64_t available = data_->received_length();
    int64_t used = 0;
    auto discard = [&] {
        const int64_t n = std::min(skip_, available - used);
        used += n;
        skip_ -= n;
        stream_offset_ += n;
    };
    auto finish = [&](int result) {
        data_->Consume(used);
        return result;
    };
    discard();
    for (;;) {
        if (skip_ > 0 || outstanding_.empty()) return finish(1);
        const std::optional<int64_t> skip =
            FtpStreamSkip(BlockInfo::BlockBegin(outstanding_.records().front().block), stream_offset_);
        if (!skip) return finish(0);  // behind the stream, or too far ahead to read through
        skip_ = *skip;
        discard();
        if (skip_ > 0) return finish(1);
        while (!outstanding_.empty()) {
            const RequestRecord& first = outstanding_.records().front();
            const int64_t block = first.block;
            const int32_t length = first.length;
            if (BlockInfo::BlockBegin(block) != stream_offset_ || available - used < length) break;
            if (!DeliverBlock(block, length, data + used)) return finish(-1);
            used += length;
            stream_offset_ += length;
        }
        // Whole blocks still buffered: plan the next piece now, so that nothing
        // that already arrived is lost if the transfer ends before the next pass.
        if (!outstanding_.empty() || available == used) return finish(1);
        TPeerObject::RequestStep();
        // Following the task's reader to another range ends this transfer.
        if (broken_) return -1;
        if (!data_->IsOpen()) return 1;
    }
}

}  // namespace zl
