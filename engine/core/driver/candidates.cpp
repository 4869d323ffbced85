#include "engine/core/driver/candidates.h"

#include <algorithm>
#include <cctype>

#include "engine/core/peers/source_states.h"

namespace zl {
namespace {

std::string Lower(const std::string& text) {
    std::string out = text;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

}  // namespace

TaskCandidates::TaskCandidates(Parser parse) : parse_(std::move(parse)) {}

bool TaskCandidates::Banned(const TPeerId& identity) const {
    return !removed_sources_.empty() && removed_sources_.count(Lower(identity.text)) > 0;
}

int32_t TaskCandidates::RefreshSources(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        if (text.empty() || std::find(sources_.begin(), sources_.end(), text) != sources_.end()) continue;
        sources_.push_back(text);
    }
    int32_t admitted = 0;
    for (size_t i = sources_.size(); i-- > 0;)
        if (AdmitText(sources_[i], std::string())) ++admitted;
    list_.ExpandMultiAddress(rules_);
    return admitted;
}

bool TaskCandidates::AdmitText(const std::string& text, const std::string& presented_host) {
    auto identity = RefPtr<TPeerId>::Adopt(new TPeerId(text));
    // A text already standing as a candidate is not parsed (and resolved) again.
    if (list_.FindMatch(*identity) || Banned(*identity)) return false;
    const bool parsed = parse_(*identity);
    if (identity->resolve_failed) host_failed_ = true;
    int32_t state = kSourceNew;
    if (!PrepareSourceCandidate(state, *identity, parsed)) return false;
    // Nodes and trackers join through the BitTorrent paths, not as sources here.
    if (!identity->IsServer()) return false;
    if (!presented_host.empty()) identity->Source().host = presented_host;
    return Admit(*identity);
}

bool TaskCandidates::Admit(const TPeerId& identity) {
    if (Banned(identity)) return false;
    const size_t before = list_.size();
    list_.AddCandidate(identity, false, false, rules_);
    if (list_.size() == before) return false;
    admitted_ = true;
    return true;
}

size_t TaskCandidates::ReResolve() {
    bool failed = false;
    const size_t dropped = list_.ReResolve(parse_, &failed);
    if (failed) host_failed_ = true;
    return dropped;
}

int32_t TaskCandidates::PickServers(int32_t n, const std::vector<std::string>& urls,
                                    const std::vector<std::string>& hosts, TaskRandom& random) {
    const int32_t picked = PickServerSources(n, urls, hosts, random, [&](const std::string& url, const std::string& host) {
        auto identity = RefPtr<TPeerId>::Adopt(new TPeerId(url));
        if (list_.FindMatch(*identity)) return true;  // known already: it counts as added
        if (Banned(*identity)) return false;
        const bool parsed = parse_(*identity);
        if (identity->resolve_failed) host_failed_ = true;
        if (!parsed || !identity->IsServer()) return false;
        if (!host.empty()) identity->Source().host = host;
        identity->order_key = kOrderKeyServer;
        Admit(*identity);
        return true;
    });
    list_.ExpandMultiAddress(rules_);
    return picked;
}

void TaskCandidates::Penalise(const TPeerId& identity, const EndedPeer& peer, int32_t passes, bool data_complete) {
    PenaliseSource(list_, identity, peer, passes, marked_, data_complete);
}

void TaskCandidates::Forget(const TPeerId& identity, bool keep, int32_t passes) {
    if (!keep) removed_sources_.insert(Lower(identity.text));
    list_.ForgetSource(identity, keep, keep ? passes : 0);
}

size_t TaskCandidates::RemoveFailedServers() {
    list_.ForEach([&](TPeerId& c) {
        if (IsFailedServer(c)) removed_sources_.insert(Lower(c.text));
    });
    return list_.RemoveFailedServers();
}

bool TaskCandidates::TakeHostFailure() {
    const bool failed = host_failed_;
    host_failed_ = false;
    return failed;
}

bool TaskCandidates::TakeAdmitted() {
    const bool admitted = admitted_;
    admitted_ = false;
    return admitted;
}

}  // namespace zl
