#include "engine/core/api/duplicate_rule.h"

#include <algorithm>

namespace zl {
namespace {

const std::string& Or(const std::string* text) {
    static const std::string empty;
    return text ? *text : empty;
}

}  // namespace

bool IsDuplicateTask(const TaskIdentityView& n, const TaskIdentityView& r) {
    if (n.full_path && r.full_path && Or(n.target_file) == Or(r.target_file)) return true;
    if ((n.p2sp || n.bt) && (r.p2sp || r.bt)) {
        if (Or(n.metainfo_location) == Or(r.metainfo_location)) return true;
    }
    if (!n.sources || !r.sources) return false;
    // Blank lines are kept in a source list but are no evidence of a shared
    // source: two unrelated tasks may both carry one.
    size_t own = 0, shared = 0;
    for (const std::string& line : *n.sources) {
        if (line.empty()) continue;
        ++own;
        if (std::find(r.sources->begin(), r.sources->end(), line) != r.sources->end()) ++shared;
    }
    return shared > 0 && own / shared <= 2;
}

}  // namespace zl
