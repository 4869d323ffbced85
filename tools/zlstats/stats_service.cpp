#include "tools/zlstats/stats_service.h"

#include <httplib.h>

#include <ctime>

#include "tools/zlstats/dashboard_assets.h"
#include "tools/zlstats/post_parser.h"
#include "tools/zlstats/summary.h"

namespace zl::stats {
namespace {

constexpr const char* kJson = "application/json";

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') out += '\\', out += char(c);
        else if (c < 0x20) out += ' ';
        else out += char(c);
    }
    return out + "\"";
}

void Refuse(httplib::Response& res, int status, const std::string& message, bool close) {
    res.status = status;
    res.set_content("{\"error\":2,\"message\":" + Quoted(message) + "}", kJson);
    if (close) res.set_header("Connection", "close");
}

}  // namespace

StatsService::StatsService(ServiceOptions options, Clock& clock, Logger log)
    : options_(std::move(options)),
      clock_(clock),
      log_(std::move(log)),
      limiter_(clock_, options_.rate, options_.burst),
      queue_([db = options_.db] { return OpenDatabase(db); }, options_.retry_window, log_),
      server_(std::make_unique<httplib::Server>()) {
    const size_t threads = size_t(std::max(4, options_.threads));
    server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server_->set_payload_max_length(kMaxPostBytes);
    server_->set_keep_alive_max_count(1000);
    server_->set_read_timeout(10, 0);
    // An answer goes out at once, not after the client's delayed acknowledgement.
    server_->set_tcp_nodelay(true);
    Routes();
}

StatsService::~StatsService() { Stop(); }

bool StatsService::Bind(std::string& error) {
    if (options_.port == 0) {
        port_ = server_->bind_to_any_port(options_.host.c_str());
        if (port_ <= 0) return error = "cannot listen on " + options_.host, false;
        return true;
    }
    if (!server_->bind_to_port(options_.host.c_str(), options_.port))
        return error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port), false;
    port_ = options_.port;
    return true;
}

void StatsService::Serve() { server_->listen_after_bind(); }

void StatsService::Stop() {
    if (server_) server_->stop();
}

bool StatsService::ParseTime(const std::string& text, int64_t& out) {
    if (text.empty()) return false;
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 12) return false;
        out = std::stoll(text);
        return true;
    }
    std::tm tm{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used);
    if (n < 3) return false;
    std::string rest = text.substr(size_t(used));
    if (!rest.empty() && (rest[0] == 'T' || rest[0] == ' ')) {
        int more = 0;
        if (std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &h, &mi, &more) < 2) return false;
        rest = rest.substr(size_t(1 + more));
        if (!rest.empty() && rest[0] == ':') {
            if (std::sscanf(rest.c_str() + 1, "%2d%n", &s, &more) < 1) return false;
            rest = rest.substr(size_t(1 + more));
        }
    }
    if (rest != "" && rest != "Z") return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    out = int64_t(timegm(&tm));
    return true;
}

std::string StatsService::SummaryFor(int64_t from, int64_t to) {
    std::lock_guard lock(reader_mutex_);
    try {
        if (!reader_) reader_ = OpenDatabase(options_.db);
        return SummaryJson(Summarize(*reader_, from, to));
    } catch (...) {
        reader_.reset();
        throw;
    }
}

void StatsService::Routes() {
    // Before a body is read: too large a body, or too many posts from one address.
    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (req.method != "POST") return httplib::Server::HandlerResponse::Unhandled;
        const std::string length = req.get_header_value("Content-Length");
        if (!length.empty() && (length.size() > 15 || std::stoull(length) > kMaxPostBytes)) {
            log_("refused a post from " + req.remote_addr + ": the body is larger than 1 MiB (" + length + " bytes)");
            Refuse(res, 400, "the body is larger than 1 MiB", true);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!limiter_.Allow(req.remote_addr)) {
            uint64_t refused;
            {
                std::lock_guard lock(refused_mutex_);
                refused = ++rate_refused_;
            }
            if (refused == 1 || refused % 1000 == 0)
                log_("rate limit: refused a post from " + req.remote_addr + " (" + std::to_string(refused) +
                     " refused so far)");
            res.set_header("Retry-After", "1");
            Refuse(res, 429, "too many posts from this address", true);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // What the library refuses by itself (a chunked body beyond the limit, a
    // bad request line) is answered 400 as well, with its log line.
    server_->set_error_handler(httplib::Server::HandlerWithResponse([this](const httplib::Request& req, httplib::Response& res) {
        if (res.status == 404 || res.status == 429 || res.status == 503 || !res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        log_("refused a request from " + req.remote_addr + ": HTTP " + std::to_string(res.status));
        Refuse(res, 400, res.status == 413 ? "the body is larger than 1 MiB" : "bad request", true);
        return httplib::Server::HandlerResponse::Handled;
    }));

    // The body is read here rather than by the library, which caps form bodies far below the clients' posts.
    server_->Post(".*", [this](const httplib::Request& req, httplib::Response& res,
                               const httplib::ContentReader& content) {
        std::string body;
        bool too_large = false;
        const bool read = content([&](const char* data, size_t length) {
            if (body.size() + length > kMaxPostBytes) return !(too_large = true);
            body.append(data, length);
            return true;
        });
        if (too_large) {
            log_("refused a post from " + req.remote_addr + ": the body is larger than 1 MiB");
            return Refuse(res, 400, "the body is larger than 1 MiB", true);
        }
        if (!read) return Refuse(res, 400, "the body could not be read", true);
        auto parsed = ParsePost(body);
        if (auto* refused = std::get_if<PostRefused>(&parsed)) {
            log_("refused a post from " + req.remote_addr + " to " + req.path.substr(0, 200) + ": " + refused->reason);
            Refuse(res, 400, refused->reason, false);
            return;
        }
        ReceivedPost post{req.remote_addr, int64_t(clock_.SystemSeconds()), std::move(std::get<StatBatch>(parsed))};
        const std::optional<StoreCounts> counts = queue_.Store(std::move(post));
        if (!counts) {
            res.status = 503;
            res.set_content("{\"error\":1,\"message\":\"the database cannot store the post now\"}", kJson);
            return;
        }
        res.set_content("{\"error\":0,\"stored\":" + std::to_string(counts->stored) +
                            ",\"duplicates\":" + std::to_string(counts->duplicates) + "}",
                        kJson);
    });

    server_->Get("/api/summary", [this](const httplib::Request& req, httplib::Response& res) {
        const int64_t now = int64_t(clock_.SystemSeconds());
        int64_t to = now + 1, from = 0;
        if (req.has_param("to") && !req.get_param_value("to").empty() && !ParseTime(req.get_param_value("to"), to))
            return Refuse(res, 400, "to is neither seconds since 1970 nor a UTC date", false);
        from = to - 86400;
        if (req.has_param("from") && !req.get_param_value("from").empty() &&
            !ParseTime(req.get_param_value("from"), from))
            return Refuse(res, 400, "from is neither seconds since 1970 nor a UTC date", false);
        try {
            res.set_content(SummaryFor(from, to), kJson);
        } catch (const std::exception& e) {
            log_(std::string("summary: ") + e.what());
            res.status = 503;
            res.set_content("{\"error\":1,\"message\":\"the database cannot be read now\"}", kJson);
        }
    });

    for (const DashboardAsset& asset : DashboardAssets()) {
        const auto serve = [asset](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(asset.content), std::string(asset.mime).c_str());
            res.set_header("Cache-Control", "no-cache");
        };
        server_->Get(std::string(asset.path), serve);
        if (asset.path == "/index.html") server_->Get("/", serve);
    }
}

}  // namespace zl::stats
