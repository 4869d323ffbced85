// Which trackers a task asks, and when: the torrent's announce list and the
// task's "tracker://" sources become tracker candidates; while the P2P switch
// is on, each eligible one (never while asked, at most every 600 s) gets a
// tracker peer, driven at every peer pass until it has an answer, whose peers
// become the task's BitTorrent candidates. The trackers have a candidate list
// of their own, so the node connector never dials them. Owned by the task's
// peer driver and used only by its worker thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/peers/candidate_list.h"
#include "engine/core/task/task_tracker_view.h"
#include "engine/net/peer_object.h"
#include "engine/net/tracker_peer.h"

struct pollfd;

namespace zl {

class TaskTrackerConnector final : public ITrackerTask {
public:
    // What the connector needs from the task around it.
    struct Hooks {
        std::function<bool(TaskTrackerView*)> view;      // false: nothing to announce yet
        std::function<bool(TPeerId&)> parse;             // ParseSourceUrl with the task's resolver
        std::function<SocketEnv()> socket_env;
        std::function<bool(uint32_t)> blocked;           // the IP filter
        std::function<void()> host_unresolved;           // a tracker's name did not resolve
    };

    TaskTrackerConnector(IPeerTask& task, Hooks hooks);
    ~TaskTrackerConnector() override;
    TaskTrackerConnector(const TaskTrackerConnector&) = delete;
    TaskTrackerConnector& operator=(const TaskTrackerConnector&) = delete;

    // "tracker://" texts among the task's sources become tracker candidates.
    void AddSources(const std::vector<std::string>& texts);
    // Every peer pass: admits the torrent's trackers when its info hash is
    // new, dials eligible trackers once per engine second while the P2P
    // switch is on, and drives the tracker peers.
    void Pass(uint64_t now);
    void CloseAll();
    void AddWaitEntries(std::vector<pollfd>& entries) const;

    // ITrackerTask.
    bool AnnounceFacts(TrackerAnnounceFacts* facts) override;
    void NoteTrackerAnswer(const TPeerId& tracker, const TrackerAnswerFigures& figures) override;
    uint32_t BindAddress() override { return view_ok_ ? view_.facts.bind_address : 0; }

    struct Figures {
        int32_t interval = 600;  // of the latest answer
        int64_t done_peers = 0;
        int64_t num_completed = 0;
        int32_t answers = 0;
        int32_t peers = 0;       // candidates from every answer so far
    };
    const Figures& figures() const { return figures_; }
    const CandidateList& Trackers() const { return trackers_; }
    size_t ActiveCount() const { return active_.size(); }

private:
    bool Admit(const std::string& text);
    void ConnectSecond(uint64_t now);
    void DrivePeers();
    void EndPeer(size_t index);

    IPeerTask& task_;
    Hooks hooks_;
    CandidateList trackers_;
    AdmissionRules rules_;
    std::vector<RefPtr<TTrackerPeer>> active_;
    std::array<uint8_t, 20> admitted_for_{};  // the info hash whose trackers were admitted
    bool view_ok_ = false;
    TaskTrackerView view_;
    uint64_t last_second_ = 0;
    Figures figures_;
};

}  // namespace zl
