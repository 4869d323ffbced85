#include "engine/core/task/task_base_work.h"

#include "engine/core/api/engine_context.h"

namespace zl {

TBaseWork::TBaseWork(EngineContext& context) : QThread(context.GetClock()), context_(context) {
    context_.RegisterTask(this);
}

TBaseWork::~TBaseWork() { context_.UnregisterTask(this); }

uint32_t TBaseWork::CurrentUptime() { return context_.UptimeSeconds(); }

std::vector<std::string> TBaseWork::SourceTexts() const {
    std::vector<std::string> texts;
    texts.reserve(sources_.size());
    for (const SourceEntry& s : sources_) texts.push_back(s.text);
    return texts;
}

bool TBaseWork::Duplicates(TBaseWork& registered) {
    const std::vector<std::string> mine = SourceTexts();
    ScopedLock guard(registered.Lock());
    const std::vector<std::string> theirs = registered.SourceTexts();
    const TaskIdentityView n{identity_.p2sp, identity_.bt, identity_.full_path, &identity_.target_file,
                             &identity_.metainfo_location, &mine};
    const TaskIdentity& r_id = registered.identity_;
    const TaskIdentityView r{r_id.p2sp, r_id.bt, r_id.full_path, &r_id.target_file, &r_id.metainfo_location, &theirs};
    return IsDuplicateTask(n, r);
}

TaskStatus TBaseWork::PublishedStatus() {
    ScopedLock guard(Lock());
    return published_;
}

void TBaseWork::Publish(LockWait wait) {
    QTMutex& lock = Lock();
    const bool held = wait == LockWait::kWait ? (lock.Lock() || lock.TryLock()) : lock.TryLock();
    if (!held) return;
    published_ = live_;
    lock.Unlock();
}

void TBaseWork::Reset(ResetScope) {
    // LAN-discovered peers are kept by the shared listener per info hash; a
    // task's reset leaves other tasks' entries alone (hook for the listener).
}

}  // namespace zl
