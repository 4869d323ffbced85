// The candidate sources of one task as its peer driver keeps them: source
// texts and server-list URLs become candidates through the admission rules,
// HTTP redirects add theirs, ended connections add retry delay, and servers
// that keep sending bad pieces leave for good. Used only by the task's worker
// thread.
#pragma once
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/core/peers/candidate_list.h"
#include "engine/core/peers/server_rotation.h"
#include "engine/core/peers/source_penalty.h"
#include "engine/core/sched/task_random.h"
#include "engine/net/resolver.h"

namespace zl {

class TaskCandidates {
public:
    // `parse` is ParseSourceUrl with the task's resolver (tests give their own).
    using Parser = std::function<bool(TPeerId&)>;
    explicit TaskCandidates(Parser parse);

    CandidateList& list() { return list_; }
    const CandidateList& list() const { return list_; }
    AdmissionRules& rules() { return rules_; }

    // Remembers the source texts (in the task's order) and admits those not
    // yet known, from the last to the first. Returns how many were admitted.
    int32_t RefreshSources(const std::vector<std::string>& texts);
    // The same walk over every text remembered so far (the idle refresh).
    int32_t RefreshKnownSources() { return RefreshSources({}); }
    // Parses again every candidate not parsed yet; those that fail leave.
    size_t ReResolve();
    // Up to `n` random server-list sources; `hosts` are the host names the
    // HTTP sources present ("null" or missing: none). Returns how many parsed.
    int32_t PickServers(int32_t n, const std::vector<std::string>& urls, const std::vector<std::string>& hosts,
                        TaskRandom& random);
    // An identity made elsewhere (an HTTP redirect). True when it was new.
    bool Admit(const TPeerId& identity);

    // A connection to `identity` ended (passes: 1 failed pass, 3 dropped, 6 pruned).
    void Penalise(const TPeerId& identity, const EndedPeer& peer, int32_t passes, bool data_complete);
    // A peer's verdict on its source: more retry delay (keep) or removal. A
    // removed source (the server does not have the file, or keeps
    // redirecting) stays out for the rest of the run: a refresh does not
    // bring it back to be asked again every few seconds.
    void Forget(const TPeerId& identity, bool keep, int32_t passes);
    // Removes the servers that sent too many bad pieces; they never come back
    // through a refresh. Returns how many left.
    size_t RemoveFailedServers();

    // A host name failed to resolve since the last call (the task reports it).
    bool TakeHostFailure();
    // Something was admitted since the last call (the connector then runs at once).
    bool TakeAdmitted();

private:
    bool AdmitText(const std::string& text, const std::string& presented_host);
    bool Banned(const TPeerId& identity) const;

    Parser parse_;
    CandidateList list_;
    AdmissionRules rules_;
    MarkedAddresses marked_;
    std::vector<std::string> sources_;
    // Lower-case texts of sources removed for the run (bad data, or a
    // server's verdict that it has no such file).
    std::set<std::string> removed_sources_;
    bool host_failed_ = false;
    bool admitted_ = false;
};

}  // namespace zl
