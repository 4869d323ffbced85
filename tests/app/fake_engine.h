// A scripted engine for the controller's tests: tasks are records whose
// progress, speed and status the test sets; completing one writes its file.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/app_services.h"
#include "app/engine_port.h"
#include "engine/meta/atomic_file.h"

namespace zl::app::testing {

struct FakeTask {
    std::string target, resume, sources, metainfo;
    uint32_t flags = 0;
    int32_t progress = 0, status = 0, speed = 0;
    uint64_t downloaded = 0, http = 0, peer = 0, size = 0;
    bool running = true;
    std::string urls, hosts;  // last AddServers
    int32_t speed_limit = -1, servers = 0, peers = 0;
    std::string content_on_complete;  // written to target when completed by a recover
    std::vector<uint8_t> bitfield;    // what GetBitfield reports, with `bits` pieces
    int32_t bits = 0;
};

class FakeEngine final : public EnginePort {
public:
    std::mutex mutex;
    std::vector<FakeTask> tasks;
    std::vector<std::string> calls;
    uint64_t free_space = uint64_t(1) << 40;
    int32_t create_result = 0, startup_result = 0;
    bool p2p = false;
    // Content a recovered task writes when it completes (by target path).
    std::map<std::string, std::string> repair_content;

    static TaskHandle Handle(size_t i) { return reinterpret_cast<TaskHandle>(i + 1); }
    FakeTask* Find(TaskHandle t) {
        const size_t i = reinterpret_cast<size_t>(t);
        return i >= 1 && i <= tasks.size() ? &tasks[i - 1] : nullptr;
    }
    FakeTask& Task(const std::string& target_suffix) {
        std::lock_guard lock(mutex);
        for (size_t i = tasks.size(); i-- > 0;)
            if (tasks[i].target.size() >= target_suffix.size() &&
                tasks[i].target.compare(tasks[i].target.size() - target_suffix.size(), target_suffix.size(),
                                        target_suffix) == 0)
                return tasks[i];
        throw std::runtime_error("no task " + target_suffix);
    }
    void Complete(FakeTask& t, const std::string& content) {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(WriteFileAtomic(t.target, content));
        t.progress = 10000;
        t.downloaded = content.size();
        t.speed = 0;
    }

    void LogOpen(const std::string&) override {}
    void LogClose() override { Note("log-close"); }
    int32_t Startup(const std::string&) override { return Note("startup"), startup_result; }
    int32_t Cleanup() override { return Note("cleanup"), 0; }
    int32_t SetListenPort(int32_t) override { return 0; }
    int32_t SetP2PSwitch(bool on) override {
        std::lock_guard lock(mutex);
        p2p = on;
        return 0;
    }
    void SetHttpWrap(bool) override {}
    uint64_t DiskFreeSpace(const std::string&) override {
        std::lock_guard lock(mutex);
        return free_space;
    }
    int64_t FileDiskSize(const std::string&) override { return 0; }
    int32_t CreateAndStart(TaskDescriptor* d) override { return Add(d, "create"); }
    int32_t RecoverAndContinue(TaskDescriptor* d, bool) override { return Add(d, "recover"); }
    int32_t Start(TaskHandle t) override { return Set(t, "start", [](FakeTask& k) { k.running = true; }); }
    int32_t Stop(TaskHandle t) override { return Set(t, "stop", [](FakeTask& k) { k.running = false; }); }
    int32_t StopMany(const TaskHandle* t, uint32_t n) override {
        Note("stop-many " + std::to_string(n));
        std::lock_guard lock(mutex);
        for (uint32_t i = 0; i < n; ++i)
            if (FakeTask* k = Find(t[i])) k->running = false;
        return 0;
    }
    int32_t GetProgress(TaskHandle t, TaskProgressInfo* info) override {
        std::lock_guard lock(mutex);
        FakeTask* k = Find(t);
        if (!k) return -106;
        *info = TaskProgressInfo{};
        info->progress = k->progress;
        info->status = k->progress >= 10000 ? 20206 : k->status;
        info->speed = k->speed;
        info->downloaded = k->downloaded;
        info->http_bytes = k->http;
        info->peer_bytes = k->peer;
        return 0;
    }
    int32_t IsComplete(TaskHandle t, int32_t* c) override {
        std::lock_guard lock(mutex);
        FakeTask* k = Find(t);
        if (!k) return -106;
        *c = k->progress > 9999;
        return 0;
    }
    int32_t SetSpeedLimit(TaskHandle t, int32_t kib) override {
        std::lock_guard lock(mutex);
        if (FakeTask* k = Find(t)) k->speed_limit = kib;
        return 0;
    }
    int32_t SetConnectionLimits(TaskHandle t, int32_t s, int32_t p) override {
        std::lock_guard lock(mutex);
        if (FakeTask* k = Find(t)) k->servers = s, k->peers = p;
        return 0;
    }
    int32_t GetBitfieldSize(TaskHandle t) override {
        std::lock_guard lock(mutex);
        FakeTask* k = Find(t);
        return k ? int32_t(k->bitfield.size()) : -106;
    }
    int32_t GetBitfield(TaskHandle t, void* buffer, int32_t size) override {
        std::lock_guard lock(mutex);
        FakeTask* k = Find(t);
        if (!k || size < int32_t(k->bitfield.size())) return -106;
        std::copy(k->bitfield.begin(), k->bitfield.end(), static_cast<uint8_t*>(buffer));
        return k->bits;
    }
    int32_t ClearServers(TaskHandle t) override { return Set(t, "clear-servers", [](FakeTask& k) { k.urls.clear(); }); }
    int32_t AddServers(TaskHandle t, const std::string& urls, const std::string& hosts) override {
        return Set(t, "add-servers", [&](FakeTask& k) { k.urls += urls, k.hosts += hosts; });
    }

    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }

private:
    void Note(const std::string& s) {
        std::lock_guard lock(mutex);
        calls.push_back(s);
    }
    template <class Fn>
    int32_t Set(TaskHandle t, const std::string& what, Fn fn) {
        std::lock_guard lock(mutex);
        FakeTask* k = Find(t);
        if (!k) return -106;
        calls.push_back(what);
        fn(*k);
        return 0;
    }
    int32_t Add(TaskDescriptor* d, const std::string& what) {
        std::lock_guard lock(mutex);
        calls.push_back(what + " " + d->target);
        if (create_result != 0) return create_result;
        FakeTask k;
        k.target = d->target;
        k.resume = d->resume_path;
        k.sources = d->source_list ? d->source_list : "";
        k.metainfo = d->metainfo_location;
        k.flags = d->flags;
        auto repaired = repair_content.find(k.target);
        if (what == "recover" && repaired != repair_content.end()) {
            EXPECT_TRUE(WriteFileAtomic(k.target, repaired->second));
            k.progress = 10000;
            k.downloaded = repaired->second.size();
        }
        tasks.push_back(k);
        d->handle = Handle(tasks.size() - 1);
        return 0;
    }
};

class RecordingUi final : public UserInterface {
public:
    std::mutex mutex;
    std::vector<std::string> messages;
    std::vector<uint32_t> events;
    bool answer = false;
    void ShowMessage(const std::string& text, const std::string&) override {
        std::lock_guard lock(mutex);
        messages.push_back(text);
    }
    bool AskYesNo(const std::string& text, const std::string&) override {
        std::lock_guard lock(mutex);
        messages.push_back("? " + text);
        return answer;
    }
    void OnEvent(const AppEvent& e) override {
        std::lock_guard lock(mutex);
        events.push_back(e.code);
    }
    std::vector<std::string> Messages() {
        std::lock_guard lock(mutex);
        return messages;
    }
    std::vector<uint32_t> Events() {
        std::lock_guard lock(mutex);
        return events;
    }
};

class NullEvents final : public EventChannel {
public:
    bool Start(const std::string&, const std::string&, const std::string& ca_file) override {
        ca_file_seen = ca_file;
        return true;
    }
    void Report(const AppEvent&) override {}
    void Stop() override {}
    std::string ca_file_seen;
};

class FixedPort final : public PortChooser {
public:
    int32_t ChooseAndMap() override { return 0; }
};

class RecordingOpener final : public Opener {
public:
    std::vector<std::string> opened;
    int result = 42;
    int Open(const std::string& path, const std::string&) override {
        opened.push_back(path);
        return result;
    }
};

class RecordingShutdown final : public ShutdownAction {
public:
    std::vector<std::string> scheduled;
    bool Schedule(const std::string& message, int) override {
        scheduled.push_back(message);
        return true;
    }
};

}  // namespace zl::app::testing
