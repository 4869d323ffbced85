// Name resolution for the engine: a plain lookup with a negative cache, and a
// timed lookup that runs the blocking back end on a detached worker and stops
// waiting after a limit. The worker's shared state outlives a caller that gave
// up, so a late answer is dropped without touching freed memory.
// One TResolver belongs to an engine context.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zl {

// The blocking lookup underneath. Tests replace it (only loopback exists here).
class IResolverBackend {
public:
    virtual ~IResolverBackend() = default;
    // IPv4 addresses of the name in network order; 0 on success or an engine
    // error number (err::kHostNotFound, err::kNoData, ...).
    virtual int32_t Lookup(const std::string& name, std::vector<uint32_t>* addresses) = 0;
};

// getaddrinfo (AF_INET).
std::shared_ptr<IResolverBackend> MakeSystemResolverBackend();

class TResolver {
public:
    static constexpr uint32_t kDefaultTimeoutMs = 3000;
    static constexpr size_t kMaxAddresses = 256;

    explicit TResolver(std::shared_ptr<IResolverBackend> backend = MakeSystemResolverBackend());
    ~TResolver();
    TResolver(const TResolver&) = delete;
    TResolver& operator=(const TResolver&) = delete;

    // Address of a name in network order, or kNoAddress (0xFFFFFFFF). A name
    // that starts with a digit is tried as an IPv4 literal first; names in the
    // negative cache are not looked up again.
    uint32_t ResolveHost(const std::string& name);

    // Appends the name's addresses to the list: the number appended, 0 for an
    // invalid dotted address, or -1 when the name did not resolve (including a
    // lookup that took longer than the time limit).
    int32_t ResolveHostTimed(const std::string& name, std::vector<uint32_t>* addresses);

    // Our own address: of the host name's addresses the last public one when
    // the last listed is private, else the last listed (kNoAddress if none).
    uint32_t LocalAddress();

    void ClearNegativeCache();
    bool InNegativeCache(const std::string& name) const;

    void SetTimeoutMs(uint32_t ms) { timeout_ms_ = ms; }
    void SetBackend(std::shared_ptr<IResolverBackend> backend);
    // Where the DNS servers are listed for the failure report (default /etc/resolv.conf).
    void SetResolvConfPath(std::string path) { resolv_conf_ = std::move(path); }

    // Receives the log lines of this resolver ("Invalid Host: ...").
    void SetLogSink(std::function<void(const std::string&)> sink) { log_ = std::move(sink); }
    // Receives the once-per-outage DNS failure report: event code and text.
    void SetEventSink(std::function<void(const std::string& code, const std::string& text)> sink) {
        event_ = std::move(sink);
    }

    // Workers still running (a timed-out lookup keeps its worker until the back end returns).
    int32_t RunningWorkers() const;

    // "ErrCode : (...) Host : (...) " followed by the DNS servers.
    std::string DnsFailureText(int32_t error, const std::string& name) const;

private:
    struct Pending;
    void AddNegative(const std::string& name);
    void Log(const std::string& line);
    std::shared_ptr<IResolverBackend> Backend() const;

    mutable std::mutex mutex_;  // negative cache, back end, report mark
    std::set<std::string> negative_;
    std::shared_ptr<IResolverBackend> backend_;
    std::shared_ptr<std::atomic<int32_t>> running_;
    bool dns_failure_reported_ = false;
    uint32_t timeout_ms_ = kDefaultTimeoutMs;
    std::string resolv_conf_ = "/etc/resolv.conf";
    std::function<void(const std::string&)> log_;
    std::function<void(const std::string&, const std::string&)> event_;
};

// The DNS servers of a resolv.conf file ("nameserver" lines), in file order.
std::vector<std::string> ReadNameServers(const std::string& path);

}  // namespace zl
