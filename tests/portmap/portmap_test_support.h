// Test support for port mapping: the script server (the scripted gateway),
// and a listener that records notifications.
#pragma once
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "portmap/port_forward_engine.h"
#include "tests/support/script_server.h"

namespace zl::test {

class RecordingListener : public IPortForwardListener {
public:
    void OnPortForwardNotification(int code, int32_t param) override {
        std::lock_guard lock(mutex_);
        seen_.emplace_back(code, param);
    }
    std::vector<std::pair<int, int32_t>> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<int32_t> Params(int code) {
        std::vector<int32_t> out;
        for (auto& [c, p] : Seen())
            if (c == code) out.push_back(p);
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<int, int32_t>> seen_;
};

// Records the events a component reports.
class EventRecorder {
public:
    std::function<void(const std::string&, const std::string&)> Sink() {
        return [this](const std::string& code, const std::string& text) {
            std::lock_guard lock(mutex_);
            events_.emplace_back(code, text);
        };
    }
    std::vector<std::pair<std::string, std::string>> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> events_;
};

}  // namespace zl::test
