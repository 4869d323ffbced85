// When a new task duplicates a registered one, the engine refuses it (-105):
// two tasks writing the same target, or fetching the same torrent, or sharing
// most of their sources would fight over the same data.
#pragma once
#include <string>
#include <vector>

namespace zl {

struct TaskIdentityView {
    bool p2sp = false;
    bool bt = false;
    bool full_path = false;
    const std::string* target_file = nullptr;
    const std::string* metainfo_location = nullptr;
    const std::vector<std::string>* sources = nullptr;
};

// True when `candidate` duplicates `registered`: same explicit target file; else
// both torrent tasks with the same metainfo location; else the candidate's
// non-empty source lines divided by the shared ones (integer division) is at
// most 2. Empty lines never count as shared.
bool IsDuplicateTask(const TaskIdentityView& candidate, const TaskIdentityView& registered);

}  // namespace zl
