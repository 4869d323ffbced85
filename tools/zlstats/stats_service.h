// The HTTP side of zlstats: the clients' form posts (any path, as the
// statistics uploader posts them), the dashboard at / and its figures at
// GET /api/summary?from=&to=.
//
// Answers: 200 {"error":0,...} once a post is committed; 400 and a log line for
// anything invalid (nothing of it stored); 429 beyond an address's rate;
// 503 when the database fails.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/base/clock.h"
#include "tools/zlstats/ingest_queue.h"
#include "tools/zlstats/rate_limiter.h"

namespace httplib {
class Server;
}

namespace zl::stats {

struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: any free port
    std::string db = "zlstats.db";
    double rate = 20;     // posts per second per address (0: no limit)
    double burst = 200;   // posts an address may send at once
    int64_t retry_window = kDefaultRetryWindow;
    int threads = 64;     // request threads (each keeps one connection)
};

class StatsService {
public:
    using Logger = std::function<void(const std::string&)>;
    StatsService(ServiceOptions options, Clock& clock, Logger log);
    ~StatsService();

    // Binds; false with a message when it cannot. Then Port() is known.
    bool Bind(std::string& error);
    int Port() const { return port_; }
    // Serves until Stop().
    void Serve();
    void Stop();

    // A period's bounds: seconds since 1970 or "YYYY-MM-DD[THH:MM[:SS]][Z]" (UTC).
    static bool ParseTime(const std::string& text, int64_t& out);

private:
    void Routes();
    std::string SummaryFor(int64_t from, int64_t to);

    ServiceOptions options_;
    Clock& clock_;
    Logger log_;
    RateLimiter limiter_;
    IngestQueue queue_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::mutex reader_mutex_;
    std::unique_ptr<SqlDb> reader_;  // under reader_mutex_
    std::mutex refused_mutex_;
    uint64_t rate_refused_ = 0;
};

}  // namespace zl::stats
