// The list of live tasks, in registration order. A handle is valid exactly
// while its task is listed here. Guarded by the engine's data lock, which the
// registry takes itself for every operation.
#pragma once
#include <vector>

#include "engine/base/qmutex.h"

namespace zl {

class TBaseWork;

class TaskRegistry {
public:
    explicit TaskRegistry(QTMutex& data_lock) : lock_(data_lock) {}

    // Adds the task unless present; returns whether the registry was empty before.
    bool Add(TBaseWork* task);
    // Removes every occurrence; returns whether the registry is empty afterwards.
    bool Remove(TBaseWork* task);
    // The registered task whose address is `handle`, or null.
    TBaseWork* Find(const void* handle);
    TBaseWork* First();
    std::vector<TBaseWork*> Snapshot();
    size_t Size();
    void Clear();

private:
    QTMutex& lock_;
    std::vector<TBaseWork*> tasks_;
};

}  // namespace zl
