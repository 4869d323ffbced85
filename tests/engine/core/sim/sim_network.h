// A simulated network for task tests: HTTP servers at loopback endpoints that
// answer like nginx, and FTP servers that answer like vsftpd (passive mode,
// REST and RETR), with controlled speed and faults, reached through virtual
// handles (no descriptors, no sockets). Body bytes become readable as the
// clock moves, so a task driven by a test clock downloads minutes of traffic
// in milliseconds. Thread-safe: the task's worker calls the transport while
// the test thread reads the counters.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/clock.h"
#include "engine/net/stream_transport.h"

namespace zl::test {

// A clock whose time moves only when a thread sleeps with SleepMs (the task's
// worker loop pauses that way), so one loop iteration covers the few
// milliseconds it asked for. Threads that wait with SleepMsUnless (the engine
// clock thread, a paused worker) follow that time instead of pushing it:
// otherwise a background loop would race simulated time ahead of the worker.
class LoopDrivenClock final : public Clock {
public:
    explicit LoopDrivenClock(uint64_t start_tick_ms = 1'000'000, uint64_t start_system_seconds = 1'790'000'000)
        : tick_ms_(start_tick_ms), system_ms_(start_system_seconds * 1000) {}

    uint64_t TickMs() override {
        std::lock_guard lock(mutex_);
        return tick_ms_;
    }
    uint64_t SystemSeconds() override {
        std::lock_guard lock(mutex_);
        return system_ms_ / 1000;
    }
    void SleepMs(uint32_t ms) override { Advance(ms); }
    bool SleepMsUnless(uint32_t ms, const std::function<bool()>& wake) override {
        std::unique_lock lock(mutex_);
        const uint64_t until = tick_ms_ + ms;
        const auto mine = deadlines_.insert(until);
        bool woken = false;
        moved_.wait(lock, [&] {
            woken = wake();
            return woken || tick_ms_ >= until;
        });
        deadlines_.erase(mine);
        return !woken;
    }
    void WakeSleepers() override {
        { std::lock_guard lock(mutex_); }
        moved_.notify_all();
    }
    void Advance(uint64_t ms) {
        bool due;
        {
            std::unique_lock lock(mutex_);
            // Paced: a pause that would start past what the test allowed waits
            // for it (bounded, so a pause under a lock the test needs goes on).
            if (paced_ && tick_ms_ >= allowed_ms_) {
                reached_.notify_all();
                reached_.wait_for(lock, std::chrono::milliseconds(kPaceWaitMs),
                                  [&] { return !paced_ || tick_ms_ < allowed_ms_; });
            }
            tick_ms_ += ms;
            system_ms_ += ms;
            due = !deadlines_.empty() && *deadlines_.begin() <= tick_ms_;
        }
        // Waking the sleepers only when one is due keeps the worker's many
        // short pauses from waking the background threads every time.
        if (due) moved_.notify_all();
        reached_.notify_all();
    }

    // Pacing, for a test that watches a worker in real time: simulated time
    // stops at `step_ms` past now until the test calls again, so what the
    // test sees (and when) does not depend on how the threads are scheduled.
    // Returns once the time got there (or after a short real wait).
    void PaceStep(uint64_t step_ms) {
        std::unique_lock lock(mutex_);
        paced_ = true;
        allowed_ms_ = tick_ms_ + step_ms;
        reached_.notify_all();
        reached_.wait_for(lock, std::chrono::milliseconds(kPaceWaitMs), [&] { return tick_ms_ >= allowed_ms_; });
    }
    // Time runs freely again.
    void StopPacing() {
        {
            std::lock_guard lock(mutex_);
            paced_ = false;
        }
        reached_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable moved_;
    uint64_t tick_ms_;
    uint64_t system_ms_;
    std::multiset<uint64_t> deadlines_;  // wake-up ticks of the SleepMsUnless sleepers
    static constexpr int kPaceWaitMs = 50;
    std::condition_variable reached_;  // pacing: the allowance moved, or time reached it
    bool paced_ = false;
    uint64_t allowed_ms_ = 0;
};

// How a simulated server behaves. The default serves every byte at once.
struct SimBehaviour {
    int64_t rate = 0;             // body bytes per second of the clock, per server; 0: unlimited
    int status = 0;               // answer every request with this status (404, 503...) and no body;
                                  // an FTP server answers SIZE and RETR with 550 instead
    bool refuse = false;          // connection attempts are refused
    bool ignore_range = false;    // a ranged request gets 200 and the file from byte 0
    int64_t close_after = -1;     // a connection closes after this many body bytes (< 0: never)
    // [first, end) byte ranges of the file the server sends altered.
    std::vector<std::pair<int64_t, int64_t>> corrupt;
};

// Body bytes a client read in one go, at one tick of the clock.
struct SimRead {
    uint64_t tick_ms = 0;
    int64_t first = 0;   // file offset
    int64_t length = 0;
    size_t request = 0;  // the index of its request in the server's log
};

// One request (an HTTP GET, an FTP RETR) as the server saw it.
struct SimRequest {
    int64_t first = 0;       // the first byte asked for (0 without a Range header)
    int status = 0;          // the status answered
    int64_t body_first = 0;  // the first byte of the body sent
    int64_t read = 0;        // body bytes the client read
    uint64_t tick_ms = 0;    // when the request arrived
};

struct SimServerStats {
    int64_t attempts = 0;      // connection attempts, refused ones included
    int64_t connections = 0;   // accepted connections
    int64_t requests = 0;
    int64_t body_bytes = 0;    // body bytes the clients read
    std::vector<uint64_t> attempt_ticks;  // clock tick of every connection attempt
    std::vector<SimRequest> log;
    std::vector<SimRead> reads;  // every body read, in order
};

class SimNetwork final : public IStreamTransport {
public:
    explicit SimNetwork(Clock& clock);
    ~SimNetwork() override;

    // A server at `address` ("127.0.0.x") and `port` serving `content` at every path.
    void AddServer(const std::string& address, uint16_t port, std::string content, SimBehaviour behaviour = {});
    // An anonymous FTP server there: the control connection at `port`, a
    // data connection for each PASV at a port of its own on `address`.
    void AddFtpServer(const std::string& address, uint16_t port, std::string content, SimBehaviour behaviour = {});
    // Changes a server's behaviour from now on (open connections included).
    void SetBehaviour(const std::string& address, uint16_t port, SimBehaviour behaviour);
    SimServerStats Stats(const std::string& address, uint16_t port) const;
    // Body bytes read by the clients from all servers, by second of the clock
    // (index: tick / 1000 - the first tick's second).
    std::vector<int64_t> BytesBySecond() const;
    // Connections the clients hold open now.
    int OpenConnections() const;

    // IStreamTransport
    int Open(int32_t* error) override;
    int Bind(int handle, const StreamEndpoint& local, int32_t* error) override;
    int Listen(int handle, int backlog, int32_t* error) override;
    int Connect(int handle, const StreamEndpoint& remote, int32_t* error) override;
    int Accept(int handle, StreamEndpoint* remote, int32_t* error) override;
    int64_t Send(int handle, const uint8_t* data, size_t length, int32_t* error) override;
    int64_t Recv(int handle, uint8_t* data, size_t length, int32_t* error) override;
    int Wait(int handle, bool writable, int timeout_ms, int32_t* error) override;
    int32_t PendingError(int handle) override;
    int LocalEndpoint(int handle, StreamEndpoint* local, int32_t* error) override;
    int SetReceiveBuffer(int handle, int bytes, int32_t* error) override;
    void Close(int handle) override;

    // Bytes a connection may hold that the client has not read yet (a socket buffer).
    static constexpr int64_t kWindow = 256 * 1024;

private:
    struct Server;
    struct Connection;

    Connection* Find(int handle, int32_t* error);
    void AddServerOf(const std::string& address, uint16_t port, std::string content, SimBehaviour behaviour, bool ftp);
    void FtpCommand(Connection& control, const std::string& line, uint64_t now);
    void StartResponse(Connection& c, int status, uint64_t now, bool ranged, int64_t first);
    void ReadBody(Connection& c, uint8_t* data, int64_t length, uint64_t now);
    Connection* DataOf(const Connection& control);
    Connection* ControlOf(const Connection& data);
    void Update(Connection& c, uint64_t now);
    void TakeRequests(Connection& c, uint64_t now);
    void Answer(Connection& c, const std::string& request, uint64_t now);
    bool Exhausted(const Connection& c) const;
    int64_t Buffered(const Connection& c) const;
    int ActiveConnections(const Server& s) const;

    Clock& clock_;
    mutable std::mutex mutex_;
    std::map<std::pair<uint32_t, uint16_t>, std::unique_ptr<Server>> servers_;
    std::map<int, std::unique_ptr<Connection>> connections_;
    std::map<uint64_t, int64_t> bytes_by_second_;
    // Passive data endpoints offered and not yet connected: the control connection's handle.
    std::map<std::pair<uint32_t, uint16_t>, int> passive_;
    uint16_t next_passive_port_ = 30000;
    int next_handle_ = 1'000'000;
};

}  // namespace zl::test
