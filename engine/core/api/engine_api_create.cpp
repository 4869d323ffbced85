// TaskCreate and TaskRecover: one procedure, differing in the duplicate rule.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_api_detail.h"
#include "engine/core/task/source_lines.h"

namespace zl {
namespace {

using api_detail::Guarded;

enum class CreateMode { kCreate, kRecover };

std::string Text(const char* field) { return std::string(field, strnlen(field, kTaskTextSize)); }

std::string WithTrailingSlash(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

void Configure(TWorkThread& task, const TaskDescriptor& d) {
    std::vector<SourceEntry>& sources = task.Sources();
    if (d.source_list) {
        for (std::string& line : SplitSourceLines(d.source_list)) sources.push_back({std::move(line), 0});
    }
    TaskIdentity& id = task.Identity();
    id.resume_path = Text(d.resume_path);
    id.piece_cache_path = id.resume_path + "df";
    const std::string target = Text(d.target);
    id.directory = WithTrailingSlash(target);
    id.p2sp = (d.flags & kTaskFlagP2sp) != 0;
    id.bt = (d.flags & kTaskFlagBt) != 0;
    id.full_path = (d.flags & kTaskFlagFullPath) != 0;
    task.Settings().quick_check = (d.flags & kTaskFlagQuickCheck) != 0;
    if (id.p2sp) {
        id.metainfo_location = Text(d.metainfo_location);
        id.kind_name = "P2SP Task";
    } else if (id.bt) {
        if (!sources.empty()) {
            id.metainfo_location = sources.front().text;
            sources.front().state = 1;
        }
        id.kind_name = "BT Task";
    } else {
        id.kind_name = "HTTP Task";
    }
    if (id.full_path) {
        id.target_file = target;
        const size_t slash = target.rfind('/');
        if (slash != std::string::npos) id.directory = target.substr(0, slash + 1);
    }
}

bool DuplicatesAny(EngineContext& c, TWorkThread& task) {
    for (TBaseWork* other : c.Registry().Snapshot()) {
        if (other != &task && task.Duplicates(*other)) return true;
    }
    return false;
}

int32_t CreateTask(EngineContext& c, TaskDescriptor* d, CreateMode mode, bool force) {
    if (!d) return ENGINE_E_INVALID_ARG;
    ScopedLock api(c.ApiLock());
    std::unique_ptr<TWorkThread> task;
    try {
        task = std::make_unique<TWorkThread>(c);
    } catch (const std::bad_alloc&) {
        return ENGINE_E_NO_MEMORY;
    } catch (...) {
        return ENGINE_E_EXCEPTION;
    }
    return Guarded([&] {
        Configure(*task, *d);
        const bool duplicate = DuplicatesAny(c, *task);
        if (duplicate && (mode == CreateMode::kCreate || !force)) return ENGINE_E_DUPLICATE;  // unique_ptr destroys it
        TWorkThread* owned = task.release();
        d->handle = static_cast<TaskHandle>(static_cast<TBaseWork*>(owned));
        const TaskIdentity& id = owned->Identity();
        char line[kTaskTextSize + 128];
        std::snprintf(line, sizeof line, "%s %s, Download, ID : %lu] [Target File : (%s) ",
                      mode == CreateMode::kCreate ? "Create" : "Recover", id.kind_name.c_str(),
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(d->handle)), id.target_file.c_str());
        LogWrite(line, kLogTaskLifecycle, kLogTaskLifecycle);
        return ENGINE_OK;
    });
}

// The second step of the create-and-start forms: locked again and guarded.
template <class Fn>
int32_t SecondStep(EngineContext& c, TaskDescriptor* d, Fn&& fn) {
    ScopedLock api(c.ApiLock());
    TWorkThread* task = api_detail::FindTask(c, d->handle);
    if (!task) return ENGINE_E_NO_TASK;
    return Guarded([&] { return fn(*task); });
}

}  // namespace

int32_t TaskCreate(EngineContext& c, TaskDescriptor* d) { return CreateTask(c, d, CreateMode::kCreate, false); }

int32_t TaskRecover(EngineContext& c, TaskDescriptor* d, uint8_t force) {
    return CreateTask(c, d, CreateMode::kRecover, force != 0);
}

int32_t TaskCreateAndStart(EngineContext& c, TaskDescriptor* d) {
    const int32_t created = TaskCreate(c, d);
    if (created != ENGINE_OK) return created;
    return SecondStep(c, d, [](TWorkThread& task) { return task.StartDownload(); });
}

int32_t TaskRecoverAndContinue(EngineContext& c, TaskDescriptor* d, uint8_t force) {
    const int32_t recovered = TaskRecover(c, d, force);
    if (recovered != ENGINE_OK) return recovered;
    return SecondStep(c, d, [](TWorkThread& task) { return task.ContinueDownload(); });
}

}  // namespace zl
