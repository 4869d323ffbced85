// Resolver back ends for tests: a fixed table of names, and a gate that holds
// a lookup until the test releases it.
#pragma once
#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/errnum.h"
#include "engine/net/resolver.h"

namespace zl::test {

inline uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

class TableResolver : public IResolverBackend {
public:
    std::map<std::string, std::vector<uint32_t>> names;
    std::map<std::string, int32_t> errors;  // names that fail with this code
    std::atomic<int> lookups{0};

    int32_t Lookup(const std::string& name, std::vector<uint32_t>* out) override {
        ++lookups;
        auto e = errors.find(name);
        if (e != errors.end()) return e->second;
        auto it = names.find(name);
        if (it == names.end()) return err::kHostNotFound;
        *out = it->second;
        return err::kNone;
    }
};

// Blocks every lookup until Release(); answers with one address.
class GateResolver : public IResolverBackend {
public:
    explicit GateResolver(uint32_t answer) : answer_(answer) {}
    int32_t Lookup(const std::string&, std::vector<uint32_t>* out) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++entered_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return released_; });
        out->push_back(answer_);
        return err::kNone;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    void WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return entered_ >= n; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    int entered_ = 0;
    uint32_t answer_;
};

}  // namespace zl::test
