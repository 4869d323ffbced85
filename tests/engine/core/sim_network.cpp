#include "tests/engine/core/sim_network.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "engine/base/errnum.h"
#include "engine/net/address.h"

namespace zl::test {

struct SimNetwork::Server {
    std::string content;
    SimBehaviour behaviour;
    SimServerStats stats;
};

struct SimNetwork::Connection {
    Server* server = nullptr;
    int32_t pending_error = err::kNone;  // the outcome of the connect
    bool connected = false;
    bool eof = false;      // the server closed its side
    uint16_t local_port = 0;
    std::string inbox;     // request bytes not answered yet
    // The response in progress.
    bool responding = false;
    bool close_when_done = false;
    std::string header;
    int64_t header_read = 0;
    int64_t body_first = 0;    // file offsets [body_first, body_end)
    int64_t body_end = 0;
    int64_t body_arrived = 0;  // body bytes in the client's window or read
    int64_t body_read = 0;
    double credit = 0;         // bytes the server's rate allows but not yet sent
    uint64_t last_ms = 0;
    size_t log_index = 0;
};

namespace {

std::pair<uint32_t, uint16_t> Key(const std::string& address, uint16_t port) { return {InetAddr(address), port}; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 416: return "Requested Range Not Satisfiable";
        case 500: return "Internal Server Error";
        case 503: return "Service Temporarily Unavailable";
        default: return "Unknown";
    }
}

// "bytes=N-" or "bytes=N-M" from a request's Range header; false without one.
bool ParseRange(const std::string& request, int64_t* first, int64_t* last) {
    const std::string lower = Lower(request);
    const size_t at = lower.find("\r\nrange:");
    if (at == std::string::npos) return false;
    const size_t eq = lower.find("bytes=", at);
    const size_t end = lower.find("\r\n", at + 2);
    if (eq == std::string::npos || eq > end) return false;
    const std::string spec = request.substr(eq + 6, end - eq - 6);
    const size_t dash = spec.find('-');
    if (dash == std::string::npos || dash == 0) return false;
    char* end_of_number = nullptr;
    *first = std::strtoll(spec.c_str(), &end_of_number, 10);
    if (end_of_number != spec.c_str() + dash || *first < 0) return false;
    *last = dash + 1 < spec.size() ? std::strtoll(spec.c_str() + dash + 1, nullptr, 10) : -1;
    return true;
}

}  // namespace

SimNetwork::SimNetwork(Clock& clock) : clock_(clock) {}

SimNetwork::~SimNetwork() = default;

void SimNetwork::AddServer(const std::string& address, uint16_t port, std::string content, SimBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    auto server = std::make_unique<Server>();
    server->content = std::move(content);
    server->behaviour = std::move(behaviour);
    servers_[Key(address, port)] = std::move(server);
}

void SimNetwork::SetBehaviour(const std::string& address, uint16_t port, SimBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    auto it = servers_.find(Key(address, port));
    if (it != servers_.end()) it->second->behaviour = std::move(behaviour);
}

SimServerStats SimNetwork::Stats(const std::string& address, uint16_t port) const {
    std::lock_guard lock(mutex_);
    auto it = servers_.find(Key(address, port));
    return it == servers_.end() ? SimServerStats{} : it->second->stats;
}

std::vector<int64_t> SimNetwork::BytesBySecond() const {
    std::lock_guard lock(mutex_);
    std::vector<int64_t> out;
    if (bytes_by_second_.empty()) return out;
    const uint64_t first = bytes_by_second_.begin()->first;
    out.resize(bytes_by_second_.rbegin()->first - first + 1, 0);
    for (const auto& [second, bytes] : bytes_by_second_) out[second - first] = bytes;
    return out;
}

int SimNetwork::OpenConnections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                          [](const auto& entry) { return entry.second->connected; }));
}

SimNetwork::Connection* SimNetwork::Find(int handle, int32_t* error) {
    auto it = connections_.find(handle);
    if (it != connections_.end()) return it->second.get();
    if (error) *error = err::kNotSocket;
    return nullptr;
}

int SimNetwork::ActiveConnections(const Server& s) const {
    int n = 0;
    for (const auto& entry : connections_)
        if (entry.second->server == &s && entry.second->responding) ++n;
    return std::max(n, 1);
}

int64_t SimNetwork::Buffered(const Connection& c) const {
    if (!c.responding) return 0;
    return static_cast<int64_t>(c.header.size()) - c.header_read + c.body_arrived - c.body_read;
}

bool SimNetwork::Exhausted(const Connection& c) const {
    return c.responding && c.header_read == static_cast<int64_t>(c.header.size()) &&
           c.body_read == c.body_end - c.body_first;
}

// Moves body bytes into the client's window as the server's rate allows.
void SimNetwork::Update(Connection& c, uint64_t now) {
    const uint64_t elapsed = now > c.last_ms ? now - c.last_ms : 0;
    c.last_ms = now;
    if (!c.responding) return;
    const int64_t remaining = c.body_end - c.body_first - c.body_arrived;
    const int64_t room = kWindow - (c.body_arrived - c.body_read);
    const int64_t rate = c.server->behaviour.rate;
    int64_t allowed = remaining;
    if (rate > 0) {
        c.credit += static_cast<double>(rate) * static_cast<double>(elapsed) / 1000.0 / ActiveConnections(*c.server);
        allowed = static_cast<int64_t>(c.credit);
    }
    const int64_t moved = std::max<int64_t>(std::min({allowed, remaining, room}), 0);
    c.body_arrived += moved;
    if (rate > 0) {
        c.credit -= static_cast<double>(moved);
        // A full window holds the server back: time spent blocked earns nothing.
        if (moved < allowed) c.credit = std::min(c.credit, 1.0);
    }
}

void SimNetwork::TakeRequests(Connection& c, uint64_t now) {
    while (!c.responding && !c.eof) {
        const size_t end = c.inbox.find("\r\n\r\n");
        if (end == std::string::npos) return;
        const std::string request = c.inbox.substr(0, end + 4);
        c.inbox.erase(0, end + 4);
        Answer(c, request, now);
    }
}

void SimNetwork::Answer(Connection& c, const std::string& request, uint64_t now) {
    Server& s = *c.server;
    const SimBehaviour& b = s.behaviour;
    const int64_t size = static_cast<int64_t>(s.content.size());
    int64_t first = 0, last = -1;
    const bool ranged = ParseRange(request, &first, &last);
    int status = 200;
    c.body_first = 0;
    c.body_end = size;
    std::string extra;
    if (request.compare(0, 4, "GET ") != 0) {
        status = 400;
        c.body_end = 0;
        c.close_when_done = true;
    } else if (b.status != 0) {
        status = b.status;
        c.body_end = 0;
    } else if (ranged && !b.ignore_range) {
        if (first >= size) {
            status = 416;
            c.body_end = 0;
            extra = "Content-Range: bytes */" + std::to_string(size) + "\r\n";
        } else {
            status = 206;
            c.body_first = first;
            c.body_end = last >= first ? std::min(last + 1, size) : size;
            extra = "Content-Range: bytes " + std::to_string(c.body_first) + "-" + std::to_string(c.body_end - 1) +
                    "/" + std::to_string(size) + "\r\n";
        }
    }
    // The header promises the whole body; a dying server stops part-way.
    const int64_t length = c.body_end - c.body_first;
    if (b.close_after >= 0 && length > b.close_after) {
        c.body_end = c.body_first + b.close_after;
        c.close_when_done = true;
    }
    c.header = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
               "\r\nServer: nginx\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
               std::to_string(length) + "\r\n" + extra + "Accept-Ranges: bytes\r\nConnection: keep-alive\r\n\r\n";
    c.header_read = 0;
    c.body_arrived = 0;
    c.body_read = 0;
    c.credit = 0;
    c.last_ms = now;
    c.responding = true;
    ++s.stats.requests;
    SimRequest record;
    record.first = ranged ? first : 0;
    record.status = status;
    record.body_first = c.body_first;
    record.tick_ms = now;
    s.stats.log.push_back(record);
    c.log_index = s.stats.log.size() - 1;
}

int SimNetwork::Open(int32_t*) {
    std::lock_guard lock(mutex_);
    const int handle = next_handle_++;
    auto c = std::make_unique<Connection>();
    c->local_port = static_cast<uint16_t>(20000 + handle % 40000);
    connections_[handle] = std::move(c);
    return handle;
}

int SimNetwork::Bind(int handle, const StreamEndpoint&, int32_t* error) {
    std::lock_guard lock(mutex_);
    return Find(handle, error) ? 0 : -1;
}

int SimNetwork::Listen(int, int, int32_t* error) {
    *error = err::kAddressNotAvail;  // nothing listens on the simulated network
    return -1;
}

int SimNetwork::Accept(int, StreamEndpoint*, int32_t* error) {
    *error = err::kWouldBlock;
    return -1;
}

int SimNetwork::Connect(int handle, const StreamEndpoint& remote, int32_t* error) {
    std::lock_guard lock(mutex_);
    Connection* c = Find(handle, error);
    if (!c) return -1;
    const uint64_t now = clock_.TickMs();
    auto it = servers_.find({remote.address, remote.port});
    if (it == servers_.end()) {
        c->pending_error = err::kConnRefused;  // nothing listens there
    } else {
        Server& s = *it->second;
        ++s.stats.attempts;
        s.stats.attempt_ticks.push_back(now);
        if (s.behaviour.refuse) {
            c->pending_error = err::kConnRefused;
        } else {
            ++s.stats.connections;
            c->server = &s;
            c->connected = true;
            c->last_ms = now;
        }
    }
    // Like a non-blocking connect: the outcome shows through Wait and PendingError.
    *error = err::kWouldBlock;
    return -1;
}

int64_t SimNetwork::Send(int handle, const uint8_t* data, size_t length, int32_t* error) {
    std::lock_guard lock(mutex_);
    Connection* c = Find(handle, error);
    if (!c) return -1;
    if (!c->connected) {
        *error = c->pending_error != err::kNone ? c->pending_error : err::kNotConnected;
        return -1;
    }
    if (c->eof) {
        *error = err::kConnReset;
        return -1;
    }
    c->inbox.append(reinterpret_cast<const char*>(data), length);
    TakeRequests(*c, clock_.TickMs());
    return static_cast<int64_t>(length);
}

int64_t SimNetwork::Recv(int handle, uint8_t* data, size_t length, int32_t* error) {
    std::lock_guard lock(mutex_);
    Connection* c = Find(handle, error);
    if (!c) return -1;
    if (!c->connected) {
        *error = c->pending_error != err::kNone ? c->pending_error : err::kNotConnected;
        return -1;
    }
    const uint64_t now = clock_.TickMs();
    Update(*c, now);
    size_t copied = 0;
    if (c->responding) {
        const int64_t header_left = static_cast<int64_t>(c->header.size()) - c->header_read;
        const size_t from_header = static_cast<size_t>(std::min<int64_t>(header_left, static_cast<int64_t>(length)));
        std::memcpy(data, c->header.data() + c->header_read, from_header);
        c->header_read += static_cast<int64_t>(from_header);
        copied = from_header;
        const int64_t body = std::min<int64_t>(c->body_arrived - c->body_read, static_cast<int64_t>(length - copied));
        if (body > 0) {
            const int64_t at = c->body_first + c->body_read;
            const std::string& content = c->server->content;
            std::memcpy(data + copied, content.data() + at, static_cast<size_t>(body));
            for (const auto& [bad_first, bad_end] : c->server->behaviour.corrupt) {
                for (int64_t o = std::max(at, bad_first); o < std::min(at + body, bad_end); ++o)
                    data[copied + static_cast<size_t>(o - at)] ^= 0x5a;
            }
            copied += static_cast<size_t>(body);
            c->body_read += body;
            c->server->stats.body_bytes += body;
            c->server->stats.log[c->log_index].read += body;
            bytes_by_second_[now / 1000] += body;
        }
        if (Exhausted(*c)) {
            c->responding = false;
            if (c->close_when_done) c->eof = true;
            TakeRequests(*c, now);
        }
    }
    if (copied > 0) return static_cast<int64_t>(copied);
    if (c->eof) return 0;
    *error = err::kWouldBlock;
    return -1;
}

int SimNetwork::Wait(int handle, bool writable, int, int32_t* error) {
    std::lock_guard lock(mutex_);
    Connection* c = Find(handle, error);
    if (!c) return -1;
    // Connects complete (or fail) at once; a failed one polls ready too.
    if (writable || !c->connected || c->eof) return 1;
    Update(*c, clock_.TickMs());
    // Never blocks: a wait that would need time to pass reports a timeout.
    return Buffered(*c) > 0 ? 1 : 0;
}

int32_t SimNetwork::PendingError(int handle) {
    std::lock_guard lock(mutex_);
    int32_t error = err::kNone;
    Connection* c = Find(handle, &error);
    return c ? c->pending_error : error;
}

int SimNetwork::LocalEndpoint(int handle, StreamEndpoint* local, int32_t* error) {
    std::lock_guard lock(mutex_);
    Connection* c = Find(handle, error);
    if (!c) return -1;
    local->address = InetAddr("127.0.0.1");
    local->port = c->local_port;
    return 0;
}

int SimNetwork::SetReceiveBuffer(int handle, int, int32_t* error) {
    std::lock_guard lock(mutex_);
    return Find(handle, error) ? 0 : -1;
}

void SimNetwork::Close(int handle) {
    std::lock_guard lock(mutex_);
    connections_.erase(handle);
}

}  // namespace zl::test
