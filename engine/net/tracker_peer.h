// A short-lived peer that asks one tracker for BitTorrent peers of the task's
// torrent (kind 8): an HTTP GET announce over TCP, or the connect and
// announce exchange of a UDP tracker on its own datagram socket. Every
// announce carries the event "started". Once an answer is in (activity
// state 6) its peers have become candidates of the task and the task drops
// this peer. Used only by its task's worker thread.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/net/peer_object.h"
#include "engine/net/tracker_task.h"
#include "engine/net/tracker_udp.h"
#include "engine/net/udp_socket.h"

namespace zl {

class TTrackerPeer : public TPeerObject {
public:
    // Unanswered requests are sent again after this many seconds.
    static constexpr uint64_t kReaskSeconds = 11;
    // A tracker that has not answered by then is given up on for this round.
    static constexpr uint64_t kGiveUpSeconds = 60;
    // The largest datagram read from a UDP tracker.
    static constexpr size_t kDatagramBuffer = UdpSocket::kMaxDatagram;

    TTrackerPeer(IPeerTask& task, ITrackerTask& trackers, const SocketEnv& env);

    bool ReceiveStep() override;
    bool SendStep() override;
    bool RequestStep() override;
    void Reset() override;
    bool AttachIdentity(TPeerId* identity) override;
    bool IsConnected() override;
    bool IsTimedOut() override;
    bool IsSeed() override { return false; }
    void AddWaitEntries(std::vector<pollfd>& entries) const override;

    bool over_tcp() const { return over_tcp_; }
    bool answered() const { return activity_ == kActivityFinished; }
    const std::string& query() const { return query_; }
    const UdpSocket& datagram_socket() const { return udp_; }

protected:
    ~TTrackerPeer() override;

private:
    bool ReceiveHttp();
    bool ReceiveUdp();
    bool SendHttpAnnounce(const TrackerAnnounceFacts& facts);
    bool SendUdpConnect();
    bool SendUdpAnnounce(const TrackerAnnounceFacts& facts);
    PeerIdBytes FreshPeerId(const TrackerAnnounceFacts& facts);
    void HandOver(const std::vector<TrackerPeerEntry>& peers, TrackerAnswerFigures figures);

    ITrackerTask& trackers_;
    bool over_tcp_ = true;
    UdpSocket udp_;
    std::string response_;          // the tracker's reply as read so far
    bool closed_ = false;           // the tracker closed the TCP connection
    uint64_t last_activity_ = 0;    // engine seconds
    uint64_t last_announce_ = 0;    // engine seconds; 0: never
    uint64_t connect_sent_ = 0;     // engine seconds of the last UDP connect
    std::string query_;             // the HTTP announce's target, built once
    UdpTransaction connect_transaction_{};
    UdpTransaction announce_transaction_{};
    UdpConnectionId connection_id_{};
    std::vector<uint8_t> datagram_;
};

}  // namespace zl
