#include "tests/engine/core/sim/sim_network.h"

#include <arpa/inet.h>

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
    bool ftp = false;
    uint32_t address = 0;
};

struct SimNetwork::Connection {
    enum class Role { kHttp, kFtpControl, kFtpData };
    Role role = Role::kHttp;
    int handle = 0;
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
    // FTP control: replies not read yet, the REST offset, the data connection.
    std::string replies;
    size_t replies_read = 0;
    int64_t rest = 0;
    int data_handle = 0;
    // FTP data: its control connection.
    int control_handle = 0;
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
    AddServerOf(address, port, std::move(content), std::move(behaviour), false);
}

void SimNetwork::AddFtpServer(const std::string& address, uint16_t port, std::string content,
                              SimBehaviour behaviour) {
    AddServerOf(address, port, std::move(content), std::move(behaviour), true);
}

void SimNetwork::AddServerOf(const std::string& address, uint16_t port, std::string content, SimBehaviour behaviour,
                             bool ftp) {
    std::lock_guard lock(mutex_);
    auto server = std::make_unique<Server>();
    server->content = std::move(content);
    server->behaviour = std::move(behaviour);
    server->ftp = ftp;
    server->address = InetAddr(address);
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
    if (c.role == Connection::Role::kFtpControl) return static_cast<int64_t>(c.replies.size() - c.replies_read);
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
    c.header = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
               "\r\nServer: nginx\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
               std::to_string(length) + "\r\n" + extra + "Accept-Ranges: bytes\r\nConnection: keep-alive\r\n\r\n";
    StartResponse(c, status, now, ranged, first);
}

// Starts sending [body_first, body_end) after `header` (empty on an FTP data
// connection), and logs the request.
void SimNetwork::StartResponse(Connection& c, int status, uint64_t now, bool ranged, int64_t first) {
    Server& s = *c.server;
    if (s.behaviour.close_after >= 0 && c.body_end - c.body_first > s.behaviour.close_after) {
        c.body_end = c.body_first + s.behaviour.close_after;
        c.close_when_done = true;
    }
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

SimNetwork::Connection* SimNetwork::DataOf(const Connection& control) {
    auto it = connections_.find(control.data_handle);
    return control.data_handle != 0 && it != connections_.end() ? it->second.get() : nullptr;
}

SimNetwork::Connection* SimNetwork::ControlOf(const Connection& data) {
    auto it = connections_.find(data.control_handle);
    return data.control_handle != 0 && it != connections_.end() ? it->second.get() : nullptr;
}

// One command line on an FTP control connection, answered as vsftpd would.
void SimNetwork::FtpCommand(Connection& control, const std::string& line, uint64_t now) {
    Server& s = *control.server;
    const size_t space = line.find(' ');
    const std::string verb = Lower(line.substr(0, space));
    const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    const int64_t size = static_cast<int64_t>(s.content.size());
    std::string& out = control.replies;
    if (verb == "user") {
        out += "331 Please specify the password.\r\n";
    } else if (verb == "pass") {
        out += "230 Login successful.\r\n";
    } else if (verb == "cwd") {
        out += "250 Directory successfully changed.\r\n";
    } else if (verb == "type") {
        out += "200 Switching to Binary mode.\r\n";
    } else if (verb == "size") {
        out += s.behaviour.status != 0 ? "550 Could not get file size.\r\n" : "213 " + std::to_string(size) + "\r\n";
    } else if (verb == "pasv") {
        uint16_t port = 0;
        do {
            port = next_passive_port_++;
            if (next_passive_port_ < 30000) next_passive_port_ = 30000;
        } while (passive_.count({s.address, port}) || servers_.count({s.address, port}));
        for (auto it = passive_.begin(); it != passive_.end();) {  // one offer per control connection
            it = it->second == control.handle ? passive_.erase(it) : std::next(it);
        }
        passive_[{s.address, port}] = control.handle;
        const uint32_t a = ntohl(s.address);
        out += "227 Entering Passive Mode (" + std::to_string(a >> 24) + "," + std::to_string((a >> 16) & 255) + "," +
               std::to_string((a >> 8) & 255) + "," + std::to_string(a & 255) + "," + std::to_string(port >> 8) + "," +
               std::to_string(port & 255) + ").\r\n";
    } else if (verb == "rest") {
        control.rest = std::max<int64_t>(std::strtoll(argument.c_str(), nullptr, 10), 0);
        out += "350 Restart position accepted (" + std::to_string(control.rest) + ").\r\n";
    } else if (verb == "retr") {
        Connection* data = DataOf(control);
        if (s.behaviour.status != 0) {
            out += "550 Failed to open file.\r\n";
        } else if (!data || data->eof) {
            out += "425 Use PORT or PASV first.\r\n";
        } else {
            data->body_first = std::min(control.rest, size);
            data->body_end = size;
            data->header.clear();
            StartResponse(*data, 150, now, true, control.rest);
            out += "150 Opening BINARY mode data connection for " + argument + " (" + std::to_string(size) +
                   " bytes).\r\n";
            if (data->body_first == data->body_end) {  // nothing to send: done at once
                data->responding = false;
                data->eof = true;
                out += "226 Transfer complete.\r\n";
            }
        }
        control.rest = 0;
    } else if (verb == "quit") {
        out += "221 Goodbye.\r\n";
        control.eof = true;
    } else {
        out += "500 Unknown command.\r\n";
    }
}

int SimNetwork::Open(int32_t*) {
    std::lock_guard lock(mutex_);
    const int handle = next_handle_++;
    auto c = std::make_unique<Connection>();
    c->handle = handle;
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
    auto offer = passive_.find({remote.address, remote.port});
    if (it == servers_.end() && offer != passive_.end()) {
        // The data connection of an FTP control connection's PASV.
        auto control = connections_.find(offer->second);
        passive_.erase(offer);
        if (control == connections_.end() || control->second->eof) {
            c->pending_error = err::kConnRefused;
        } else {
            if (Connection* old = DataOf(*control->second)) old->eof = true;
            control->second->data_handle = handle;
            c->role = Connection::Role::kFtpData;
            c->control_handle = control->first;
            c->server = control->second->server;
            c->connected = true;
            c->last_ms = now;
        }
    } else if (it == servers_.end()) {
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
            if (s.ftp) {
                c->role = Connection::Role::kFtpControl;
                c->replies = "220 (simFTPd 3.0.3)\r\n";
            }
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
    if (c->role == Connection::Role::kFtpControl) {
        for (size_t end; !c->eof && (end = c->inbox.find("\r\n")) != std::string::npos;) {
            const std::string line = c->inbox.substr(0, end);
            c->inbox.erase(0, end + 2);
            FtpCommand(*c, line, clock_.TickMs());
        }
    } else if (c->role == Connection::Role::kHttp) {
        TakeRequests(*c, clock_.TickMs());
    }
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
    if (c->role == Connection::Role::kFtpControl) {
        const size_t n = std::min(length, c->replies.size() - c->replies_read);
        std::memcpy(data, c->replies.data() + c->replies_read, n);
        c->replies_read += n;
        if (n > 0) return static_cast<int64_t>(n);
        if (c->eof) return 0;
        *error = err::kWouldBlock;
        return -1;
    }
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
            ReadBody(*c, data + copied, body, now);
            copied += static_cast<size_t>(body);
        }
        if (Exhausted(*c)) {
            c->responding = false;
            if (c->role == Connection::Role::kFtpData) {
                // The file was sent: the data connection closes and the control one says so.
                c->eof = true;
                if (Connection* control = ControlOf(*c)) {
                    control->replies += c->close_when_done ? "426 Failure writing network stream.\r\n"
                                                           : "226 Transfer complete.\r\n";
                }
            } else {
                if (c->close_when_done) c->eof = true;
                TakeRequests(*c, now);
            }
        }
    }
    if (copied > 0) return static_cast<int64_t>(copied);
    if (c->eof) return 0;
    *error = err::kWouldBlock;
    return -1;
}

// Copies `length` body bytes from where the connection's response stands,
// altered where the server sends wrong bytes, and counts them.
void SimNetwork::ReadBody(Connection& c, uint8_t* data, int64_t length, uint64_t now) {
    const int64_t at = c.body_first + c.body_read;
    Server& s = *c.server;
    std::memcpy(data, s.content.data() + at, static_cast<size_t>(length));
    for (const auto& [bad_first, bad_end] : s.behaviour.corrupt) {
        for (int64_t o = std::max(at, bad_first); o < std::min(at + length, bad_end); ++o)
            data[static_cast<size_t>(o - at)] ^= 0x5a;
    }
    c.body_read += length;
    s.stats.body_bytes += length;
    s.stats.log[c.log_index].read += length;
    // Reads that continue the last one at the same tick are one read.
    if (!s.stats.reads.empty() && s.stats.reads.back().tick_ms == now && s.stats.reads.back().request == c.log_index &&
        s.stats.reads.back().first + s.stats.reads.back().length == at) {
        s.stats.reads.back().length += length;
    } else {
        s.stats.reads.push_back({now, at, length, c.log_index});
    }
    bytes_by_second_[now / 1000] += length;
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
    auto it = connections_.find(handle);
    if (it == connections_.end()) return;
    Connection& c = *it->second;
    if (c.role == Connection::Role::kFtpData) {
        if (Connection* control = ControlOf(c)) {
            // The client hung up on a transfer (a released or restarted range).
            if (c.responding) control->replies += "426 Failure writing network stream.\r\n";
            if (control->data_handle == handle) control->data_handle = 0;
        }
    } else if (c.role == Connection::Role::kFtpControl) {
        if (Connection* data = DataOf(c)) data->eof = true;
        for (auto offer = passive_.begin(); offer != passive_.end();)
            offer = offer->second == handle ? passive_.erase(offer) : std::next(offer);
    }
    connections_.erase(it);
}

}  // namespace zl::test
