// zlstats: the statistics service. See usage below.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "engine/base/version.h"
#include "tools/zlstats/schema.h"
#include "tools/zlstats/stats_service.h"
#include "tools/zlstats/summary.h"
#include "tools/zlstats/synthetic_events.h"

namespace {

using namespace zl::stats;

constexpr const char* kUsage =
    "usage: zlstats [serve] [--db FILE|postgresql://...] [--host ADDR] [--port N] [--rate POSTS_PER_S]\n"
    "               [--burst POSTS] [--retry-window SECONDS] [--threads N] [--log FILE]\n"
    "       zlstats summary [--db ...] [--from T] [--to T]      # the figures of GET /api/summary, as JSON\n"
    "       zlstats fill [--db ...] [--events N] [--hours H] [--seed S]\n"
    "                                                        # store made-up downloads (benchmarks)\n"
    "  --db      the database: an SQLite file (default zlstats.db, WAL mode) or a PostgreSQL URL\n"
    "  --host    address to listen on (default 127.0.0.1); --port 8080 by default, 0 for any free port\n"
    "  --rate    posts per second allowed per client address (default 20, 0: no limit), --burst 200\n"
    "  T         seconds since 1970 or YYYY-MM-DD[THH:MM[:SS]][Z] (UTC)\n"
    "  --version print the version and exit\n"
    "Prints \"listening HOST PORT\" and \"dashboard URL\" once it accepts posts.\n";

std::mutex g_log_mutex;
std::ostream* g_log = &std::cerr;

void Log(const std::string& line) {
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::lock_guard lock(g_log_mutex);
    std::string flat = line;
    for (char& c : flat)
        if (c == '\n' || c == '\r') c = ' ';
    *g_log << stamp << " zlstats: " << flat << '\n' << std::flush;
}

int Fail(const std::string& message) {
    std::cerr << "zlstats: " << message << '\n';
    return 2;
}

// The database, migrated; null after printing why it cannot be used.
std::unique_ptr<SqlDb> OpenMigrated(const std::string& target) {
    try {
        auto db = OpenDatabase(target);
        const int found = MigrateSchema(*db);
        if (found != LatestSchemaVersion())
            Log("database " + RedactedTarget(target) + ": schema version " + std::to_string(found) + " -> " +
                std::to_string(LatestSchemaVersion()));
        return db;
    } catch (const std::exception& e) {
        Fail(e.what());
        return nullptr;
    }
}

int Serve(const ServiceOptions& options) {
    if (!OpenMigrated(options.db)) return 2;
    // Signals are taken by one thread, which stops the server; the service's
    // destructor then stores what is waiting.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    StatsService service(options, zl::SystemClock(), Log);
    std::string error;
    if (!service.Bind(error)) return Fail(error);
    std::cout << "listening " << options.host << ' ' << service.Port() << '\n'
              << "dashboard http://" << options.host << ':' << service.Port() << "/\n"
              << std::flush;
    Log("serving " + RedactedTarget(options.db) + " on " + options.host + ":" + std::to_string(service.Port()));
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        Log(std::string("stopping on ") + strsignal(sig));
        service.Stop();
    });
    service.Serve();
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return 0;
}

int PrintSummary(const std::string& db_target, const std::string& from_text, const std::string& to_text) {
    int64_t to = int64_t(std::time(nullptr)) + 1, from = 0;
    if (!to_text.empty() && !StatsService::ParseTime(to_text, to)) return Fail("bad --to " + to_text);
    from = to - 86400;
    if (!from_text.empty() && !StatsService::ParseTime(from_text, from)) return Fail("bad --from " + from_text);
    auto db = OpenMigrated(db_target);
    if (!db) return 2;
    const auto start = std::chrono::steady_clock::now();
    const std::string json = SummaryJson(Summarize(*db, from, to));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::cout << json << '\n';
    std::fprintf(stderr, "zlstats: summary in %.1f ms\n", ms);
    return 0;
}

int Fill(const std::string& db_target, uint64_t events, int64_t hours, uint64_t seed) {
    auto db = OpenMigrated(db_target);
    if (!db) return 2;
    SyntheticPlan plan;
    plan.events = events;
    plan.hours = hours;
    plan.seed = seed;
    plan.end = int64_t(std::time(nullptr));
    std::vector<ReceivedPost> group;
    size_t waiting = 0;
    uint64_t stored = 0;
    const auto flush = [&] {
        std::vector<const ReceivedPost*> posts;
        for (const ReceivedPost& p : group) posts.push_back(&p);
        for (const StoreCounts& c : StorePosts(*db, posts)) stored += c.stored;
        group.clear();
        waiting = 0;
    };
    try {
        MakeSyntheticPosts(plan, [&](const ReceivedPost& post) {
            group.push_back(post);
            waiting += post.events.size();
            if (waiting >= 20000) flush();
        });
        flush();
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    std::cout << "stored " << stored << " events over " << hours << " hours\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string command = "serve";
    if (!args.empty() && args[0].rfind("--", 0) != 0) {
        command = args[0];
        args.erase(args.begin());
    }
    std::map<std::string, std::string> values;
    static const char* const kOptions[] = {"--db",    "--host", "--port",   "--rate",  "--burst", "--retry-window",
                                           "--threads", "--log", "--from", "--to",    "--events", "--hours", "--seed"};
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (args[i] == "--version") {
            std::cout << "zlstats " << ZL_VERSION_STRING << "\n";
            return 0;
        }
        if (std::find(std::begin(kOptions), std::end(kOptions), args[i]) == std::end(kOptions))
            return Fail("unknown option " + args[i] + "\n" + kUsage);
        if (i + 1 >= args.size()) return Fail(args[i] + " needs a value");
        values[args[i]] = args[i + 1];
        ++i;
    }
    const auto get = [&](const char* name, const std::string& fallback) {
        const auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    };
    try {
        const std::string db = get("--db", "zlstats.db");
        if (command == "summary") return PrintSummary(db, get("--from", ""), get("--to", ""));
        if (command == "fill")
            return Fill(db, std::stoull(get("--events", "1000000")), std::stoll(get("--hours", "720")),
                        std::stoull(get("--seed", "1")));
        if (command != "serve") return Fail("unknown command " + command + "\n" + kUsage);
        ServiceOptions options;
        options.db = db;
        options.host = get("--host", options.host);
        options.port = std::stoi(get("--port", std::to_string(options.port)));
        options.rate = std::stod(get("--rate", std::to_string(options.rate)));
        options.burst = std::stod(get("--burst", std::to_string(options.burst)));
        options.retry_window = std::stoll(get("--retry-window", std::to_string(options.retry_window)));
        options.threads = std::stoi(get("--threads", std::to_string(options.threads)));
        if (options.port < 0 || options.port > 65535) return Fail("--port must be 0..65535");
        static std::ofstream log_file;
        if (values.count("--log")) {
            log_file.open(values["--log"], std::ios::app);
            if (!log_file) return Fail("cannot write " + values["--log"]);
            g_log = &log_file;
        }
        return Serve(options);
    } catch (const std::invalid_argument&) {
        return Fail("a number option has no number\n" + std::string(kUsage));
    } catch (const std::out_of_range&) {
        return Fail("a number option is out of range");
    }
}
