#include "engine/core/driver/tracker_connector.h"

#include <poll.h>

#include <algorithm>
#include <cctype>

#include "engine/core/peers/retry_backoff.h"
#include "engine/core/peers/source_penalty.h"

namespace zl {
namespace {

bool IsTrackerText(const std::string& text) {
    static constexpr char kPrefix[] = "tracker://";
    if (text.size() <= sizeof kPrefix - 1) return false;
    for (size_t i = 0; i < sizeof kPrefix - 1; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != kPrefix[i]) return false;
    return true;
}

// The eligibility facts for tracker candidates.
class TrackerFacts final : public ICandidateFacts {
public:
    TrackerFacts(const std::function<bool(uint32_t)>& blocked, uint64_t now) : blocked_(blocked), now_(now) {}
    bool IsBlocked(uint32_t address) const override { return blocked_ && blocked_(address); }
    bool HasConnectionTo(uint32_t, int32_t) const override { return false; }
    bool HasConnectedPeer(uint32_t, const PeerIdBytes&) const override { return false; }
    bool DataComplete() const override { return false; }
    int64_t CurrentSpeed() const override { return 0; }
    uint64_t Now() const override { return now_; }

private:
    const std::function<bool(uint32_t)>& blocked_;
    uint64_t now_;
};

}  // namespace

TaskTrackerConnector::TaskTrackerConnector(IPeerTask& task, Hooks hooks) : task_(task), hooks_(std::move(hooks)) {}

TaskTrackerConnector::~TaskTrackerConnector() { CloseAll(); }

bool TaskTrackerConnector::Admit(const std::string& text) {
    auto identity = RefPtr<TPeerId>::Adopt(new TPeerId(text));
    if (trackers_.FindMatch(*identity)) return false;
    const bool parsed = hooks_.parse && hooks_.parse(*identity);
    if (identity->resolve_failed && hooks_.host_unresolved) hooks_.host_unresolved();
    if (!parsed || identity->kind != kKindTracker) return false;
    const size_t before = trackers_.size();
    trackers_.AddCandidate(*identity, false, false, rules_);
    return trackers_.size() != before;
}

void TaskTrackerConnector::AddSources(const std::vector<std::string>& texts) {
    for (const std::string& text : texts)
        if (IsTrackerText(text)) Admit(text);
}

void TaskTrackerConnector::Pass(uint64_t now) {
    if (now != last_second_) {
        last_second_ = now;
        view_ = TaskTrackerView();
        view_ok_ = hooks_.view && hooks_.view(&view_);
        if (view_ok_ && view_.facts.has_torrent && view_.facts.info_hash != admitted_for_) {
            // A new torrent (or the first): its tracker list joins. An empty
            // announce entry stays out.
            admitted_for_ = view_.facts.info_hash;
            for (const std::string& url : view_.urls)
                if (!url.empty()) Admit("tracker://" + url);
        }
        if (view_ok_ && view_.p2p && view_.facts.has_torrent) ConnectSecond(now);
    }
    DrivePeers();
}

void TaskTrackerConnector::ConnectSecond(uint64_t now) {
    const TrackerFacts facts(hooks_.blocked, now);
    std::vector<RefPtr<TPeerId>> walk;
    trackers_.ForEach([&](TPeerId& c) { walk.push_back(RefPtr<TPeerId>::Share(&c)); });
    for (const RefPtr<TPeerId>& c : walk) {
        if (!IsEligible(*c, facts)) continue;
        auto peer = RefPtr<TTrackerPeer>::Adopt(new TTrackerPeer(task_, *this, hooks_.socket_env()));
        peer->Reset();
        ++c->open_connections;
        ++c->connection_count;
        c->last_connect_time = now;
        if (!peer->AttachIdentity(c.get())) {
            // The peer's reset counts the connection down when it took the identity.
            const bool took = peer->identity() == c.get();
            peer->Reset();
            if (!took) --c->open_connections;
            ++c->attempts;
            AddRetryDelay(*c, kPenaltyFailedPass);
            continue;
        }
        active_.push_back(std::move(peer));
    }
}

void TaskTrackerConnector::DrivePeers() {
    for (size_t i = 0; i < active_.size();) {
        TTrackerPeer& peer = *active_[i];
        if (peer.DownloadPass() && !peer.IsTimedOut() && !peer.answered()) {
            ++i;
            continue;
        }
        EndPeer(i);
    }
}

void TaskTrackerConnector::EndPeer(size_t index) {
    RefPtr<TTrackerPeer> peer = active_[index];
    active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(index));
    if (TPeerId* id = peer->identity(); id && !peer->answered()) {
        // No answer: the tracker is tried again in a later round (at most
        // every 600 s), a little later each time it fails.
        ++id->attempts;
        AddRetryDelay(*id, kPenaltyFailedPass);
    }
    peer->Reset();
}

void TaskTrackerConnector::CloseAll() {
    while (!active_.empty()) EndPeer(active_.size() - 1);
}

void TaskTrackerConnector::AddWaitEntries(std::vector<pollfd>& entries) const {
    for (const RefPtr<TTrackerPeer>& peer : active_) peer->AddWaitEntries(entries);
}

bool TaskTrackerConnector::AnnounceFacts(TrackerAnnounceFacts* facts) {
    if (!view_ok_ || !view_.facts.has_torrent) return false;
    *facts = view_.facts;
    return true;
}

void TaskTrackerConnector::NoteTrackerAnswer(const TPeerId&, const TrackerAnswerFigures& figures) {
    figures_.interval = figures.interval;
    figures_.done_peers = figures.done_peers;
    figures_.num_completed = figures.num_completed;
    ++figures_.answers;
    figures_.peers += figures.peers;
}

}  // namespace zl
