#include "engine/net/http_peer.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/base/ref_object.h"
#include "engine/net/http_redirect.h"
#include "engine/net/http_request.h"
#include "engine/net/server_peer_support.h"
#include "engine/net/source_url.h"

namespace zl {

THttpPeer::THttpPeer(IPeerTask& task, const SocketEnv& env) : TPeerObject(task, kKindHttp, env) {}

THttpPeer::~THttpPeer() { Reset(); }

void THttpPeer::ClearResponse() {
    reader_.Reset();
    body_.reset();
    header_received_ = false;
    range_ignored_ = false;
    body_end_ = -1;
    skip_ = 0;
}

void THttpPeer::Reset() {
    TPeerObject::Reset();
    ClearResponse();
    stream_offset_ = 0;
    no_content_length_ = false;
}

void THttpPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    skip_ = 0;
}

bool THttpPeer::AttachIdentity(TPeerId* identity) {
    if (!TPeerObject::AttachIdentity(identity)) return false;
    ClearResponse();
    TSourceAddress& source = identity_->Source();

    stream_offset_ = 0;
    if (!source.whole_content) {
        // With the length known (from the server or from the torrent) the
        // request starts at the first wanted block, and a 206 answer's
        // Content-Range tells the server's length; without either the first
        // answer (from byte 0) tells it. Asking a resumed download's first
        // connection for byte 0 would fetch data already on disk again.
        if (outstanding_.empty() && (source.content_length > 0 || TaskTotalSize(task_) > 0)) {
            TPeerObject::RequestStep();
            if (outstanding_.empty()) return false;
        }
        if (!outstanding_.empty()) stream_offset_ = BlockInfo::BlockBegin(outstanding_.records().front().block);
    } else if (identity_->metainfo_source) {
        task_.NoteMetainfoFetchStarted();
    }
    request_start_ = stream_offset_;

    if (!socket_->Connect(identity_->address, identity_->port, false)) return false;
    connection_state_ = kConnOpen;
    if (!IsConnected()) return false;

    if (source.referer.empty()) source.referer = std::string(HttpRefererOf(identity_->text));
    HttpRequestSpec spec;
    spec.host = source.host;
    spec.path = source.http_path.empty() ? HttpRequestPathOf(identity_->text) : std::string_view(source.http_path);
    spec.referer = source.referer;
    spec.url = identity_->text;
    spec.start_offset = request_start_;
    if (const TPieceRange* run = range(); run && run->bounded && !source.whole_content) {
        const BlockInfo geometry = task_.Geometry();
        const int64_t end = std::min<int64_t>(geometry.PieceBegin(run->last) + geometry.PieceSize(run->last), TaskTotalSize(task_));
        if (end > request_start_) spec.end_offset = end - 1;
    }
    const std::optional<std::string> request = BuildHttpRequest(spec);
    if (!request) return false;
    // Queued while the connect is pending; SendStep writes what is left.
    return socket_->Send(request->data(), static_cast<int64_t>(request->size())) >= 0;
}

bool THttpPeer::SendStep() {
    if (!IsConnected() || !socket_->IsOpen() || socket_->queued_length() == 0) return true;
    return socket_->Flush() >= 0;
}

bool THttpPeer::IsTimedOut() {
    return TimedOutAfter(HttpTimeoutSeconds(header_received_, transfer_.download_rate));
}

bool THttpPeer::ReceiveStep() {
    if (!IsConnected()) return false;
    if (IsTimedOut()) {
        task_.PenaliseSource(identity_, true, kTimeoutPenalty);
        return false;
    }
    if (task_.DownloadAllowance() == 0 && connection_state_ != kConnOpen) return true;
    if (header_received_) return body_ ? ReadWholeContent(true) : ReadBlocks(true);

    if (socket_->Receive(PassReceiveSize(task_), kReceiveLimit) < 0) return false;
    const std::string_view buffered(reinterpret_cast<const char*>(socket_->received()),
                                    static_cast<size_t>(socket_->received_length()));
    size_t consumed = 0;
    const HttpHeaderReader::Status status = reader_.Feed(buffered, consumed);
    socket_->Consume(static_cast<int64_t>(consumed));
    if (status == HttpHeaderReader::Status::kNeedMore) return true;
    if (status == HttpHeaderReader::Status::kTooLarge) return false;
    header_received_ = true;
    connection_state_ = kConnHandshakeDone;
    if (!OnHeader()) return false;
    // Body bytes that came with the header are taken now: the server may
    // already have closed, and a closed socket keeps nothing.
    if (body_) return ReadWholeContent(false);
    // The same for whole blocks at the stream's start (a short tail answered
    // with its close); a source of another size is left to RequestStep.
    const int64_t total = TaskTotalSize(task_);
    const int64_t length = identity_->Source().content_length;
    if (length > 0 && total > 0 && length != total) return true;
    return ReadBlocks(false);
}

bool THttpPeer::OnHeader() {
    HttpRequestContext context;
    context.start_offset = request_start_;
    context.whole_content = identity_->Source().whole_content;
    const HttpResponsePlan plan = PlanHttpResponse(reader_.header(), context);
    switch (plan.action) {
        case HttpAction::kData: return TakeData(plan);
        case HttpAction::kRedirect: return FollowRedirect(plan);
        case HttpAction::kRemoveSource:
            socket_->Close();
            task_.PenaliseSource(identity_, false, 0);
            return false;
        case HttpAction::kPenalise:
            // 5xx, or a body this mode cannot read (chunked blocks, unknown coding).
            socket_->Close();
            task_.PenaliseSource(identity_, true, kServerPenalty);
            return false;
        case HttpAction::kFail: return false;
    }
    return false;
}

bool THttpPeer::TakeData(const HttpResponsePlan& plan) {
    if (identity_->order_key == kOrderKeyServer) identity_->order_key = kOrderKeyRedirect;
    TSourceAddress& source = identity_->Source();
    // The body starts where the server says, not where we asked: a 200 to a
    // ranged request carries the resource from byte 0.
    stream_offset_ = plan.stream_offset;
    body_end_ = plan.body_length >= 0 && plan.body_length <= INT64_MAX - plan.stream_offset
                    ? plan.stream_offset + plan.body_length
                    : -1;
    // A 206 that starts elsewhere than asked does not honour the range either:
    // should it make the peer ask again, that is counted like a 200 from byte 0.
    range_ignored_ = plan.range_ignored || (request_start_ > 0 && plan.stream_offset != request_start_);
    if (!range_ignored_ && request_start_ > 0) identity_->Source().ignored_ranges = 0;
    if (source.whole_content) body_.emplace(plan);
    if (identity_->open_connections > 1) return true;

    source.redirected = false;
    if (source.content_length <= 0) {
        source.content_length = plan.content_length;
        no_content_length_ = plan.no_content_length;
    }
    if (!plan.file_name.empty())
        source.file_name = plan.file_name;
    else if (!reader_.header().Find("Content-Disposition") && source.file_name.empty())
        source.file_name = "index.htm";
    return source.content_length > 0;
}

bool THttpPeer::FollowRedirect(const HttpResponsePlan& plan) {
    TSourceAddress& source = identity_->Source();
    source.redirected = true;
    HttpRedirectBase base;
    base.host = source.host;
    base.port = static_cast<uint16_t>(identity_->port);
    base.path = source.http_path.empty() ? std::string_view("/") : std::string_view(source.http_path);
    const HttpRedirectTarget target = ResolveHttpRedirect(plan.location, base);
    socket_->Close();
    activity_ = kActivityFinished;
    // An unreadable location or another scheme (https) creates no source.
    if (target.error != HttpRedirectError::kNone) return false;

    if (target.url == source.last_location) {
        if (++source.redirect_count > kMaxSameRedirects) {
            task_.PenaliseSource(identity_, false, 0);
            return false;
        }
    } else {
        source.last_location = target.url;
        ++source.redirect_count;
    }
    if (source.redirect_hops >= kMaxRedirectHops) {
        // A chain of ever new locations: its end goes, as a loop does.
        task_.PenaliseSource(identity_, false, 0);
        return false;
    }
    if (!env_.resolver) return false;  // nothing can parse the new source here

    auto next = RefPtr<TPeerId>::Adopt(new TPeerId(target.url));
    TSourceAddress& next_source = next->Source();
    next_source.redirect_hops = source.redirect_hops + 1;
    next_source.referer = target.url;
    next_source.whole_content = source.whole_content;
    next->metainfo_source = identity_->metainfo_source;
    if (ParseSourceUrl(*next, *env_.resolver)) {
        next->order_key = kOrderKeyRedirect;
        task_.AddCandidate(next.get());
    }
    if (next->resolve_failed) task_.NoteHostUnresolved();
    return false;
}

bool THttpPeer::ReadWholeContent(bool read) {
    TSourceAddress& source = identity_->Source();
    if (source.content_complete) {
        activity_ = kActivityFinished;  // the body is the task's now; this connection is done
        return false;
    }
    if (read && socket_->Receive(PassReceiveSize(task_), kReceiveLimit) < 0) {
        if (body_->OnConnectionClosed() != HttpWholeBody::Status::kComplete) return false;
        source.content = body_->TakeBody();
        source.content_complete = true;
        return true;
    }
    const std::string_view buffered(reinterpret_cast<const char*>(socket_->received()),
                                    static_cast<size_t>(socket_->received_length()));
    if (buffered.empty() && body_->status() == HttpWholeBody::Status::kNeedMore) return true;
    size_t consumed = 0;
    const HttpWholeBody::Status status = body_->Feed(buffered, consumed);
    // Bytes past the end of the body are not ours to keep.
    socket_->Consume(status == HttpWholeBody::Status::kComplete ? socket_->received_length()
                                                                 : static_cast<int64_t>(consumed));
    last_data_time_ = Now();
    if (status == HttpWholeBody::Status::kError) return false;
    if (status == HttpWholeBody::Status::kComplete && !source.content_complete) {
        source.content = body_->TakeBody();
        source.content_complete = true;
    }
    return true;
}

int THttpPeer::ReceiveInPlace() {
    if (skip_ > 0) return 0;
    const int result = ReceiveBlocksInPlace(*socket_, stream_offset_, body_end_, kBlockOrigin);
    return result == kInPlaceClosed ? kInPlaceFailed : result;
}

bool THttpPeer::ReadBlocks(bool read) {
    if (read) {
        const int in_place = ReceiveInPlace();
        if (in_place < 0) return false;
        // Read for this pass; what came only in part waits in the buffer.
        if (in_place > 0) return socket_->IsOpen();
    }
    // A closed socket keeps nothing: what is buffered (a skip and the blocks
    // after it) is taken before a read can find the close.
    if (read && socket_->received_length() > 0 && !ReadBlocks(false)) return false;
    if (read && socket_->Receive(PassReceiveSize(task_), kReceiveLimit) < 0) return false;
    const uint8_t* data = socket_->received();
    const int64_t available = socket_->received_length();
    int64_t used = 0;
    for (;;) {
        const int64_t discard = std::min(skip_, available - used);
        used += discard;
        skip_ -= discard;
        stream_offset_ += discard;
        if (skip_ > 0) break;
        while (!outstanding_.empty()) {
            const RequestRecord& first = outstanding_.records().front();
            const int64_t block = first.block;
            const int32_t length = first.length;
            if (BlockInfo::BlockBegin(block) != stream_offset_ || available - used < length) break;
            if (body_end_ >= 0 && stream_offset_ + length > body_end_) break;
            if (!DeliverBlock(block, length, data + used, kBlockOrigin)) {
                socket_->Consume(used);
                return false;
            }
            used += length;
            stream_offset_ += length;
        }
        // Whole blocks still buffered: plan the next piece now, so that nothing
        // that already arrived is lost if the server closes before the next pass.
        if (!outstanding_.empty() || available == used) break;
        TPeerObject::RequestStep();
        if (outstanding_.empty()) break;
        const int64_t wanted = BlockInfo::BlockBegin(outstanding_.records().front().block);
        const std::optional<int64_t> skip = HttpStreamSkip(wanted, stream_offset_);
        if (!skip || (body_end_ >= 0 && wanted >= body_end_)) break;  // RequestStep restarts
        skip_ = *skip;
    }
    socket_->Consume(used);
    return socket_->IsOpen();
}

bool THttpPeer::RequestStep() {
    if (!IsConnected()) return false;
    if (!header_received_ || body_) return true;
    const TSourceAddress& source = identity_->Source();
    const int64_t total = TaskTotalSize(task_);
    if (source.content_length > 0 && total > 0 && source.content_length != total) {
        socket_->Close();
        task_.PenaliseSource(identity_, true, kServerPenalty);
        return false;
    }
    if (skip_ > 0) return true;  // still discarding up to the wanted block
    if (outstanding_.empty()) {
        skip_ = 0;
        TPeerObject::RequestStep();
        if (outstanding_.empty()) {
            activity_ = kActivityFinished;  // nothing left for this peer
            return false;
        }
    }
    const RequestRecord& first = outstanding_.records().front();
    const int64_t wanted = BlockInfo::BlockBegin(first.block);
    const std::optional<int64_t> skip = HttpStreamSkip(wanted, stream_offset_);
    // A body that ends inside the wanted block cannot complete it: ask again
    // from that block now rather than wait out the silence. An answer that
    // brought no block at all honours the range no better than a 200 does.
    const bool fits = body_end_ < 0 || wanted + first.length <= body_end_;
    if (skip && fits && socket_->IsOpen()) {
        skip_ = *skip;
        return true;
    }
    if (!fits && stream_offset_ <= request_start_) range_ignored_ = true;
    return Restart();
}

bool THttpPeer::Restart() {
    if (range_ignored_ && ++identity_->Source().ignored_ranges >= kMaxIgnoredRanges) {
        // Asking again would bring the same answer from byte 0, and a mere
        // delay would not hold: a source that delivered many pieces (its
        // first range, from byte 0) is dialled again at once. It is removed.
        socket_->Close();
        task_.PenaliseSource(identity_, false, 0);
        return false;
    }
    skip_ = 0;
    header_received_ = false;
    TPeerId* identity = identity_;  // keeps the reference AttachIdentity replaces
    identity_ = nullptr;
    ++identity->reconnects;
    const bool ok = AttachIdentity(identity);
    if (!identity_) {
        identity_ = identity;  // not taken: the peer keeps its reference for Reset
        return false;
    }
    identity->Release();
    return ok;
}

}  // namespace zl
