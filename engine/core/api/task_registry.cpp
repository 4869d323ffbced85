#include "engine/core/api/task_registry.h"

#include <algorithm>

namespace zl {

bool TaskRegistry::Add(TBaseWork* task) {
    ScopedLock guard(lock_);
    const bool was_empty = tasks_.empty();
    if (std::find(tasks_.begin(), tasks_.end(), task) == tasks_.end()) tasks_.push_back(task);
    return was_empty;
}

bool TaskRegistry::Remove(TBaseWork* task) {
    ScopedLock guard(lock_);
    tasks_.erase(std::remove(tasks_.begin(), tasks_.end(), task), tasks_.end());
    return tasks_.empty();
}

TBaseWork* TaskRegistry::Find(const void* handle) {
    if (!handle) return nullptr;
    ScopedLock guard(lock_);
    for (TBaseWork* task : tasks_)
        if (static_cast<const void*>(task) == handle) return task;
    return nullptr;
}

TBaseWork* TaskRegistry::First() {
    ScopedLock guard(lock_);
    return tasks_.empty() ? nullptr : tasks_.front();
}

std::vector<TBaseWork*> TaskRegistry::Snapshot() {
    ScopedLock guard(lock_);
    return tasks_;
}

size_t TaskRegistry::Size() {
    ScopedLock guard(lock_);
    return tasks_.size();
}

void TaskRegistry::Clear() {
    ScopedLock guard(lock_);
    tasks_.clear();
}

}  // namespace zl
