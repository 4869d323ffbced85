#include "engine/net/tracker_peer.h"

#include <poll.h>

#include <cstring>
#include <string_view>

#include "engine/base/errnum.h"
#include "engine/base/qmutex.h"
#include "engine/meta/md5.h"
#include "engine/net/tracker_http.h"

namespace zl {

TTrackerPeer::TTrackerPeer(IPeerTask& task, ITrackerTask& trackers, const SocketEnv& env)
    : TPeerObject(task, kKindTracker, env), trackers_(trackers) {}

TTrackerPeer::~TTrackerPeer() { Reset(); }

void TTrackerPeer::Reset() {
    TPeerObject::Reset();
    udp_.Close();
    response_.clear();
    closed_ = false;
    last_activity_ = 0;
    last_announce_ = 0;
    connect_sent_ = 0;
    query_.clear();
    connect_transaction_ = {};
    announce_transaction_ = {};
    connection_id_ = {};
}

bool TTrackerPeer::IsConnected() {
    if (connection_state_ == kConnNone && activity_ == kActivityNone) return false;
    return over_tcp_ ? socket_ != nullptr : udp_.IsOpen();
}

void TTrackerPeer::AddWaitEntries(std::vector<pollfd>& entries) const {
    if (over_tcp_) {
        TPeerObject::AddWaitEntries(entries);
    } else if (udp_.IsOpen()) {
        pollfd entry{};
        entry.fd = udp_.handle();
        entry.events = POLLIN;
        entries.push_back(entry);
    }
}

bool TTrackerPeer::AttachIdentity(TPeerId* identity) {
    if (!identity || identity->kind != kKindTracker) return false;
    if (!TPeerObject::AttachIdentity(identity)) return false;
    over_tcp_ = identity->tracker_over_tcp;
    response_.clear();
    closed_ = false;
    last_announce_ = 0;
    query_.clear();
    last_activity_ = Now();
    if (over_tcp_) {
        if (!socket_->Connect(identity->address, identity->port, false, trackers_.BindAddress())) return false;
        connection_state_ = kConnHandshakeDone;  // ready to announce once connected
        activity_ = kActivityTransferring;
        return true;
    }
    if (!udp_.Open(0, trackers_.BindAddress())) return false;
    activity_ = kActivityTransferring;
    return SendUdpConnect();
}

bool TTrackerPeer::SendUdpConnect() {
    connect_transaction_ = UdpTransactionOf(static_cast<uint32_t>(Now()));
    const auto request = BuildUdpConnect(connect_transaction_);
    connect_sent_ = Now();
    return udp_.SendTo(request.data(), request.size(), identity_->address, static_cast<uint16_t>(identity_->port));
}

bool TTrackerPeer::IsTimedOut() {
    if (activity_ == kActivityFinished || activity_ == kActivityTimedOut) return activity_ == kActivityTimedOut;
    const uint64_t now = Now();
    if (stats_.attach_time != 0 && now > stats_.attach_time && now - stats_.attach_time >= kGiveUpSeconds) {
        activity_ = kActivityTimedOut;
        return true;
    }
    return false;
}

bool TTrackerPeer::RequestStep() {
    last_activity_ = Now();
    if ((connection_state_ == kConnNone && activity_ == kActivityNone) || activity_ == kActivityFinished) return false;
    const uint64_t now = Now();
    if (connection_state_ != kConnHandshakeDone) {
        // A UDP tracker that has not answered the connect is asked again (a
        // lost datagram must not leave the exchange waiting for ever).
        if (!over_tcp_ && now >= connect_sent_ + kReaskSeconds) return SendUdpConnect() || udp_.IsOpen();
        return true;
    }
    if (last_announce_ != 0 && now < last_announce_ + kReaskSeconds) return true;
    // The HTTP request goes once per connection: the tracker answers it and closes.
    if (over_tcp_ && last_announce_ != 0) return true;
    TrackerAnnounceFacts facts;
    if (!trackers_.AnnounceFacts(&facts) || !facts.has_torrent) return true;
    last_announce_ = now;
    return over_tcp_ ? SendHttpAnnounce(facts) : SendUdpAnnounce(facts);
}

PeerIdBytes TTrackerPeer::FreshPeerId(const TrackerAnnounceFacts& facts) {
    // 0x00 0x01 'Z' 'l', then an MD5 over what makes this announce differ
    // from another task's, thread's or run's.
    Md5 md5;
    const uint64_t seconds = Now();
    const uintptr_t task = reinterpret_cast<uintptr_t>(&task_);
    const uint32_t thread = CurrentThreadId();
    md5.Update(&seconds, sizeof seconds);
    md5.Update(&task, sizeof task);
    md5.Update(&thread, sizeof thread);
    md5.Update(facts.torrent_text.data(), facts.torrent_text.size());
    md5.Update(&facts.local_address, sizeof facts.local_address);
    const Md5Digest digest = md5.Final();
    PeerIdBytes id{};
    id[0] = 0x00;
    id[1] = 0x01;
    id[2] = 'Z';
    id[3] = 'l';
    std::memcpy(id.data() + 4, digest.data(), 16);
    return id;
}

bool TTrackerPeer::SendHttpAnnounce(const TrackerAnnounceFacts& facts) {
    const TSourceAddress& source = identity_->Source();
    if (query_.empty()) {
        TrackerQueryFigures figures;
        figures.escaped_info_hash = facts.escaped_info_hash;
        figures.peer_id = FreshPeerId(facts);
        figures.port = facts.listen_port;
        figures.uploaded = facts.uploaded;
        figures.downloaded = facts.downloaded;
        figures.left = facts.left;
        query_ = BuildAnnounceTarget(source.path, source.query, figures);
    }
    const std::string request = BuildAnnounceRequest(query_, source.host, identity_->port);
    return socket_->Send(request.data(), static_cast<int64_t>(request.size())) >= 0;
}

bool TTrackerPeer::SendUdpAnnounce(const TrackerAnnounceFacts& facts) {
    UdpAnnounceFigures f;
    f.connection = connection_id_;
    announce_transaction_ = UdpTransactionOf(static_cast<uint32_t>(Now() + 1));
    f.transaction = announce_transaction_;
    f.info_hash = facts.info_hash;
    f.peer_id = facts.has_peer_id ? facts.peer_id : FreshPeerId(facts);
    f.downloaded = facts.downloaded;
    f.left = facts.left;
    f.uploaded = facts.uploaded;
    f.address = facts.published_address;
    f.port = static_cast<uint16_t>(facts.listen_port);
    const auto request = BuildUdpAnnounce(f);
    // A full socket buffer is no failure of the exchange: it is asked again.
    return udp_.SendTo(request.data(), request.size(), identity_->address, static_cast<uint16_t>(identity_->port)) ||
           udp_.IsOpen();
}

bool TTrackerPeer::SendStep() {
    if (over_tcp_ && socket_ && socket_->IsOpen() && socket_->queued_length() > 0) socket_->Flush();
    return true;
}

bool TTrackerPeer::ReceiveStep() {
    if (activity_ == kActivityFinished) return true;
    return over_tcp_ ? ReceiveHttp() : ReceiveUdp();
}

bool TTrackerPeer::ReceiveHttp() {
    if (!socket_) return false;
    if (!closed_) {
        const int64_t buffered = socket_->Receive(0, static_cast<int64_t>(kMaxTrackerReply));
        if (buffered > 0) {
            response_.append(reinterpret_cast<const char*>(socket_->received()), static_cast<size_t>(buffered));
            socket_->Consume(buffered);
            last_activity_ = Now();
        } else if (buffered < 0) {
            // The end of the connection ends a reply sent without a length;
            // any other error ends the exchange.
            if (socket_->last_error() != err::kNone || response_.empty()) return false;
            closed_ = true;
        }
    }
    if (response_.size() > kMaxTrackerReply) return false;
    if (connection_state_ != kConnHandshakeDone || response_.empty()) return !closed_;
    const TrackerReply reply = ReadTrackerReply(response_, closed_);
    switch (reply.status) {
        case TrackerReplyStatus::kNeedMore: return !closed_;
        case TrackerReplyStatus::kNotOk:      // no answer: asked again in a later round
        case TrackerReplyStatus::kMalformed: return false;
        case TrackerReplyStatus::kComplete: break;
    }
    // A failure dictionary still has its interval read; malformed bencode
    // gives no candidates.
    const TrackerAnswer answer = ParseTrackerAnswer(reply.body);
    TrackerAnswerFigures figures;
    figures.interval = answer.interval;
    figures.done_peers = answer.done_peers;
    figures.num_completed = answer.num_completed;
    response_.clear();
    socket_->Close();
    HandOver(answer.peers, figures);
    return true;
}

bool TTrackerPeer::ReceiveUdp() {
    if (!udp_.IsOpen()) return false;
    datagram_.resize(kDatagramBuffer);
    for (int read = 0; read < 4 && activity_ != kActivityFinished; ++read) {
        const UdpSocket::ReadResult r = udp_.Receive(datagram_.data(), datagram_.size());
        if (r.kind == UdpSocket::ReadKind::kClosed) return false;
        if (r.kind == UdpSocket::ReadKind::kNothing) break;
        if (r.kind != UdpSocket::ReadKind::kDatagram) continue;
        // Only the tracker's own endpoint is listened to.
        if (r.address != identity_->address || r.port != identity_->port) continue;
        const UdpTrackerDatagram d =
            ReadUdpTrackerDatagram(datagram_.data(), r.length, connection_state_ != kConnHandshakeDone,
                                   connect_transaction_, connection_state_ == kConnHandshakeDone && last_announce_ != 0,
                                   announce_transaction_);
        last_activity_ = Now();
        if (d.kind == UdpTrackerDatagram::Kind::kConnected) {
            connection_id_ = d.connection;
            connection_state_ = kConnHandshakeDone;
        } else if (d.kind == UdpTrackerDatagram::Kind::kAnnounced) {
            TrackerAnswerFigures figures;
            figures.interval = d.interval;
            udp_.Close();
            HandOver(d.peers, figures);
            // The socket is gone but the answer is in: the pass ends normally.
            return true;
        }
    }
    return true;
}

void TTrackerPeer::HandOver(const std::vector<TrackerPeerEntry>& peers, TrackerAnswerFigures figures) {
    int32_t handed = 0;
    for (const TrackerPeerEntry& entry : peers) {
        auto node = RefPtr<TPeerId>::Adopt(new TPeerId(BtNodeSourceText(entry.address, entry.port)));
        node->kind = kKindNode;
        node->address = entry.address;
        node->port = entry.port;
        node->peer_id = entry.peer_id;
        node->parsed = true;
        node->max_connections = 1;
        node->order_key = kOrderKeyNodeMin;
        task_.AddCandidate(node.get());
        ++handed;
    }
    figures.peers = handed;
    activity_ = kActivityFinished;
    if (identity_) trackers_.NoteTrackerAnswer(*identity_, figures);
}

}  // namespace zl
