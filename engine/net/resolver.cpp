#include "engine/net/resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine/base/errnum.h"
#include "engine/net/address.h"

namespace zl {
namespace {

class SystemResolverBackend final : public IResolverBackend {
public:
    int32_t Lookup(const std::string& name, std::vector<uint32_t>* addresses) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
        if (rc != 0) return err::FromResolverCode(rc, errno);
        for (addrinfo* ai = result; ai && addresses->size() < TResolver::kMaxAddresses; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
            const uint32_t a = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
            bool seen = false;
            for (uint32_t x : *addresses) seen = seen || x == a;
            if (!seen) addresses->push_back(a);
        }
        freeaddrinfo(result);
        return addresses->empty() ? err::kNoData : err::kNone;
    }
};

}  // namespace

std::shared_ptr<IResolverBackend> MakeSystemResolverBackend() { return std::make_shared<SystemResolverBackend>(); }

// Shared between a caller and its worker; whichever lets go last frees it.
struct TResolver::Pending {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    bool abandoned = false;  // the caller stopped waiting: the answer is dropped
    int32_t error = 0;
    std::vector<uint32_t> addresses;
};

TResolver::TResolver(std::shared_ptr<IResolverBackend> backend)
    : backend_(std::move(backend)), running_(std::make_shared<std::atomic<int32_t>>(0)) {}

TResolver::~TResolver() = default;

void TResolver::SetBackend(std::shared_ptr<IResolverBackend> backend) {
    std::lock_guard<std::mutex> lock(mutex_);
    backend_ = std::move(backend);
}

std::shared_ptr<IResolverBackend> TResolver::Backend() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return backend_;
}

int32_t TResolver::RunningWorkers() const { return running_->load(); }

void TResolver::ClearNegativeCache() {
    std::lock_guard<std::mutex> lock(mutex_);
    negative_.clear();
}

bool TResolver::InNegativeCache(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return negative_.count(name) != 0;
}

void TResolver::AddNegative(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    negative_.insert(name);
}

void TResolver::Log(const std::string& line) {
    if (log_) log_(line);
}

uint32_t TResolver::ResolveHost(const std::string& name) {
    if (name.empty()) return kNoAddress;
    uint32_t address = kNoAddress;
    if (name[0] >= '0' && name[0] <= '9') address = InetAddr(name);
    if (address != kNoAddress || InNegativeCache(name)) return address;
    std::vector<uint32_t> found;
    auto backend = Backend();
    const int32_t error = backend ? backend->Lookup(name, &found) : err::kNoRecovery;
    if (error == err::kNone && !found.empty()) return found.front();
    if (error == err::kHostNotFound) AddNegative(name);
    return kNoAddress;
}

int32_t TResolver::ResolveHostTimed(const std::string& name, std::vector<uint32_t>* addresses) {
    if (IsDigitsAndDots(name)) {
        const uint32_t address = ParseDottedLoose(name);
        if (address == 0) {
            Log("无效 IP: " + name);
            return 0;
        }
        addresses->push_back(address);
        return 1;
    }

    auto pending = std::make_shared<Pending>();
    auto backend = Backend();
    int32_t error = err::kNoRecovery;
    if (backend && !name.empty()) {
        auto running = running_;
        running->fetch_add(1);
        try {
            std::thread([pending, backend, running, name] {
                std::vector<uint32_t> found;
                const int32_t e = backend->Lookup(name, &found);
                {
                    std::lock_guard<std::mutex> lock(pending->mutex);
                    if (!pending->abandoned) {
                        pending->error = e;
                        if (found.size() > kMaxAddresses) found.resize(kMaxAddresses);
                        pending->addresses = std::move(found);
                        pending->done = true;
                    }
                }
                pending->done_cv.notify_all();
                running->fetch_sub(1);
            }).detach();
        } catch (const std::system_error&) {
            running->fetch_sub(1);
            std::lock_guard<std::mutex> lock(pending->mutex);
            pending->done = true;
            pending->error = err::kNoBuffers;
        }
        std::unique_lock<std::mutex> lock(pending->mutex);
        if (pending->done_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms_), [&] { return pending->done; })) {
            error = pending->error;
        } else {
            pending->abandoned = true;
            error = err::kTimedOut;
        }
    }

    if (error == err::kNone) {
        int32_t added = 0;
        for (uint32_t a : pending->addresses) {
            if (!IsValidAddress(a)) continue;
            addresses->push_back(a);
            ++added;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        dns_failure_reported_ = false;
        return added;
    }

    if (error == err::kHostNotFound || error == err::kNoData) AddNegative(name);
    bool report = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        report = !dns_failure_reported_;
        dns_failure_reported_ = true;
    }
    if (report && event_) event_("11500106", DnsFailureText(error, name));
    Log("Invalid Host: " + name);
    return -1;
}

std::string TResolver::DnsFailureText(int32_t error, const std::string& name) const {
    std::string text = "ErrCode : (" + std::to_string(static_cast<uint32_t>(error)) + ") Host : (" + name + ") ";
    const std::vector<std::string> servers = ReadNameServers(resolv_conf_);
    if (servers.empty()) return text + ", no DNS";
    for (size_t i = 0; i < servers.size(); ++i)
        text += (i == 0 ? ", DNS : (" : ", 备用 DNS : (") + servers[i] + ")";
    return text;
}

uint32_t TResolver::LocalAddress() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return kNoAddress;
    std::vector<uint32_t> found;
    auto backend = Backend();
    if (!backend || backend->Lookup(host, &found) != err::kNone || found.empty()) return kNoAddress;
    const uint32_t last = found.back();
    if (!IsPrivateAddress(last)) return last;
    for (auto it = found.rbegin(); it != found.rend(); ++it)
        if (!IsPrivateAddress(*it)) return *it;
    return last;
}

std::vector<std::string> ReadNameServers(const std::string& path) {
    std::vector<std::string> servers;
    std::ifstream in(path);
    std::string line;
    while (servers.size() < 16 && std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, value;
        if (words >> key >> value && key == "nameserver") servers.push_back(value);
    }
    return servers;
}

}  // namespace zl
