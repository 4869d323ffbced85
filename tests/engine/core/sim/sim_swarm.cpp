#include "tests/engine/core/sim/sim_swarm.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "engine/base/errnum.h"
#include "engine/net/address.h"
#include "engine/net/bt_wire.h"

namespace zl::test {

struct SimSwarm::Peer {
    std::shared_ptr<const std::string> content;
    int64_t piece_length = 0;
    int32_t pieces = 0;
    SimPeerBehaviour behaviour;
    std::vector<bool> has;
    uint64_t added_ms = 0;
    uint64_t last_gain_ms = 0;
    uint64_t random = 0;
    bool gone = false;
    std::string peer_id;
    SimPeerStats stats;

    int64_t PieceSize(int32_t piece) const {
        const int64_t size = static_cast<int64_t>(content->size());
        return std::min(piece_length, size - static_cast<int64_t>(piece) * piece_length);
    }
    bool Seeder() const { return std::all_of(has.begin(), has.end(), [](bool h) { return h; }); }
    uint64_t Next() {
        // splitmix64: a fixed sequence per peer from the swarm's seed.
        uint64_t z = (random += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
};

// Bytes the remote has queued for the client, in order. Blocks are paced by
// the remote's rate; the messages around them go out as soon as they are first.
struct SimSwarm::Segment {
    std::string bytes;
    size_t released = 0;      // bytes moved into the client's window
    int64_t span_first = -1;  // a block: its file span [first, end)
    int64_t span_end = -1;
};

struct SimSwarm::Connection {
    Peer* peer = nullptr;  // a BitTorrent remote; else `inner` is a server connection
    int inner = -1;
    int32_t pending_error = err::kNone;
    bool connected = false;
    bool eof = false;
    uint16_t local_port = 0;
    std::string inbox;  // the client's bytes not parsed yet
    bool handshaken = false;
    uint64_t handshake_ms = 0;
    uint64_t last_ms = 0;
    double credit = 0;
    std::deque<Segment> pending;
    std::string readable;  // released, [read_pos, size) not read yet
    size_t read_pos = 0;
    uint64_t released_total = 0, read_total = 0;
    struct Mark {
        uint64_t stream_end;
        int64_t first, end;
    };
    std::deque<Mark> marks;  // blocks released, counted once read whole
    // The remote's side of the choking.
    bool choking_client = true;
    bool first_unchoke_done = false;
    uint64_t next_toggle_ms = 0;
    // A leecher asking the client.
    bool client_chokes = true;
    std::vector<bool> client_has;
    std::set<std::pair<int32_t, int64_t>> asked;  // (piece, begin) requested from the client
    std::set<std::pair<int32_t, int64_t>> got;    // ... and received
    std::map<int32_t, int64_t> piece_progress;    // block bytes of a piece received from the client
};

namespace {

std::pair<uint32_t, uint16_t> Key(const std::string& address, uint16_t port) { return {InetAddr(address), port}; }

void Put32(std::string& out, uint32_t value) {
    uint8_t b[4];
    bt::WriteU32(b, value);
    out.append(reinterpret_cast<const char*>(b), 4);
}

std::string Message(uint8_t id, const std::string& payload = {}) {
    std::string m;
    Put32(m, static_cast<uint32_t>(payload.size() + 1));
    m.push_back(static_cast<char>(id));
    return m + payload;
}

constexpr int32_t kLeecherQueue = 8;  // requests a leecher keeps open with the client

}  // namespace

SimSwarm::SimSwarm(Clock& clock, SimNetwork& servers, uint64_t seed) : clock_(clock), servers_(servers), seed_(seed) {}

SimSwarm::~SimSwarm() = default;

void SimSwarm::AddPeer(const std::string& address, uint16_t port, std::shared_ptr<const std::string> content,
                       int64_t piece_length, SimPeerBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    auto p = std::make_unique<Peer>();
    p->content = std::move(content);
    p->piece_length = piece_length;
    p->pieces = static_cast<int32_t>((static_cast<int64_t>(p->content->size()) + piece_length - 1) / piece_length);
    p->behaviour = behaviour;
    p->added_ms = p->last_gain_ms = clock_.TickMs();
    p->random = seed_ ^ (static_cast<uint64_t>(InetAddr(address)) << 16) ^ port;
    p->has.resize(static_cast<size_t>(p->pieces));
    for (int32_t i = 0; i < p->pieces; ++i)
        p->has[static_cast<size_t>(i)] = behaviour.holds >= 1.0 || static_cast<double>(p->Next() % 10000) <
                                                                         behaviour.holds * 10000.0;
    p->stats.held_at_start = p->has;
    char id[21];
    std::snprintf(id, sizeof id, "-SM0100-%012llu", static_cast<unsigned long long>(peers_.size() + 1));
    p->peer_id.assign(id, 20);
    peers_[Key(address, port)] = std::move(p);
}

SimPeerStats SimSwarm::Stats(const std::string& address, uint16_t port) const {
    std::lock_guard lock(mutex_);
    auto it = peers_.find(Key(address, port));
    return it == peers_.end() ? SimPeerStats{} : it->second->stats;
}

int SimSwarm::OpenConnections() const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& entry : connections_) n += entry.second->peer && entry.second->handshaken && !entry.second->eof;
    return n;
}

int SimSwarm::MostConnections() const {
    std::lock_guard lock(mutex_);
    return most_connections_;
}

SimSwarm::Connection* SimSwarm::Find(int handle, int32_t* error) {
    auto it = connections_.find(handle);
    if (it != connections_.end()) return it->second.get();
    if (error) *error = err::kNotSocket;
    return nullptr;
}

void SimSwarm::Queue(Connection& c, std::string bytes, int64_t span_first, int64_t span_end) {
    Segment s;
    s.bytes = std::move(bytes);
    if (span_end > span_first) {
        s.span_first = span_first;
        s.span_end = span_end;
    }
    c.pending.push_back(std::move(s));
}

void SimSwarm::SetChoking(Connection& c, bool choke) {
    if (choke == c.choking_client) return;
    c.choking_client = choke;
    if (choke) {
        // A standard client forgets the requests of a peer it chokes: blocks
        // not begun are not sent.
        c.pending.erase(std::remove_if(c.pending.begin() + (c.pending.empty() || c.pending.front().released == 0 ? 0 : 1),
                                       c.pending.end(), [](const Segment& s) { return s.span_first >= 0; }),
                        c.pending.end());
        ++c.peer->stats.chokes;
    }
    Queue(c, Message(choke ? bt::kChoke : bt::kUnchoke));
}

void SimSwarm::Leave(Peer& p) {
    p.gone = true;
    for (auto& entry : connections_) {
        Connection& c = *entry.second;
        if (c.peer != &p) continue;
        c.eof = true;
        c.pending.clear();
    }
}

// Time-driven events of the remote, then block bytes into the client's
// window as the remote's rate allows.
void SimSwarm::Update(Connection& c, uint64_t now) {
    const uint64_t elapsed = now > c.last_ms ? now - c.last_ms : 0;
    c.last_ms = now;
    Peer& p = *c.peer;
    const SimPeerBehaviour& b = p.behaviour;
    if (!p.gone && b.leave_at_ms >= 0 && now >= p.added_ms + static_cast<uint64_t>(b.leave_at_ms)) Leave(p);
    if (c.eof || !c.handshaken) return;
    if (!c.first_unchoke_done && now >= c.handshake_ms + static_cast<uint64_t>(b.unchoke_after_ms)) {
        c.first_unchoke_done = true;
        SetChoking(c, false);
        c.next_toggle_ms = now + static_cast<uint64_t>(b.choke_period_ms);
    }
    if (c.first_unchoke_done && b.choke_period_ms > 0) {
        while (now >= c.next_toggle_ms) {
            SetChoking(c, !c.choking_client);
            c.next_toggle_ms += static_cast<uint64_t>(b.choke_period_ms);
        }
    }
    if (b.gain_every_ms > 0) {
        while (now >= p.last_gain_ms + static_cast<uint64_t>(b.gain_every_ms)) {
            p.last_gain_ms += static_cast<uint64_t>(b.gain_every_ms);
            std::vector<int32_t> missing;
            for (int32_t i = 0; i < p.pieces; ++i)
                if (!p.has[static_cast<size_t>(i)]) missing.push_back(i);
            if (missing.empty()) break;
            const int32_t piece = missing[p.Next() % missing.size()];
            p.has[static_cast<size_t>(piece)] = true;
            for (auto& entry : connections_) {
                Connection& other = *entry.second;
                if (other.peer != &p || !other.handshaken || other.eof) continue;
                std::string index;
                Put32(index, static_cast<uint32_t>(piece));
                Queue(other, Message(bt::kHave, index));
            }
        }
    }

    const int64_t rate = b.rate;
    if (rate > 0) c.credit += static_cast<double>(rate) * static_cast<double>(elapsed) / 1000.0;
    bool credit_ran_out = false;
    while (!c.pending.empty()) {
        const int64_t room = kWindow - static_cast<int64_t>(c.readable.size() - c.read_pos);
        if (room <= 0) break;
        Segment& s = c.pending.front();
        const bool paced = s.span_first >= 0 && rate > 0;
        int64_t n = static_cast<int64_t>(s.bytes.size() - s.released);
        if (paced && c.credit < static_cast<double>(n)) {
            n = static_cast<int64_t>(c.credit);
            credit_ran_out = true;
        }
        n = std::min(n, room);
        if (n <= 0) break;
        c.readable.append(s.bytes, s.released, static_cast<size_t>(n));
        s.released += static_cast<size_t>(n);
        c.released_total += static_cast<uint64_t>(n);
        if (paced) c.credit -= static_cast<double>(n);
        if (s.released < s.bytes.size()) break;
        if (s.span_first >= 0) c.marks.push_back({c.released_total, s.span_first, s.span_end});
        c.pending.pop_front();
    }
    // An idle or blocked remote earns nothing for later.
    if (rate > 0 && !credit_ran_out) c.credit = std::min(c.credit, 1.0);
}

void SimSwarm::QueueRequests(Connection& c) {
    Peer& p = *c.peer;
    if (!p.behaviour.asks_us || c.client_chokes || c.eof) return;
    for (int32_t piece = 0; piece < p.pieces && static_cast<int32_t>(c.asked.size()) < kLeecherQueue; ++piece) {
        const size_t i = static_cast<size_t>(piece);
        if (p.has[i] || i >= c.client_has.size() || !c.client_has[i]) continue;
        const int64_t size = p.PieceSize(piece);
        for (int64_t begin = 0; begin < size && static_cast<int32_t>(c.asked.size()) < kLeecherQueue;
             begin += 16384) {
            if (c.got.count({piece, begin}) || !c.asked.insert({piece, begin}).second) continue;
            std::string ref;
            Put32(ref, static_cast<uint32_t>(piece));
            Put32(ref, static_cast<uint32_t>(begin));
            Put32(ref, static_cast<uint32_t>(std::min<int64_t>(16384, size - begin)));
            Queue(c, Message(bt::kRequest, ref));
        }
    }
}

void SimSwarm::HandleMessage(Connection& c, uint8_t id, const uint8_t* payload, size_t size, uint64_t now) {
    Peer& p = *c.peer;
    switch (id) {
        case bt::kChoke:
            c.client_chokes = true;
            c.asked.clear();
            break;
        case bt::kUnchoke:
            c.client_chokes = false;
            QueueRequests(c);
            break;
        case bt::kHave:
            if (size == 4) {
                const uint32_t index = bt::ReadU32(payload);
                if (index < c.client_has.size()) c.client_has[index] = true;
                QueueRequests(c);
            }
            break;
        case bt::kBitfield:
            for (int32_t i = 0; i < p.pieces && static_cast<size_t>(i / 8) < size; ++i)
                c.client_has[static_cast<size_t>(i)] = (payload[i / 8] & (0x80 >> (i % 8))) != 0;
            QueueRequests(c);
            break;
        case bt::kRequest: {
            if (size != 12) break;
            ++p.stats.requests;
            const uint32_t index = bt::ReadU32(payload), begin = bt::ReadU32(payload + 4),
                           length = bt::ReadU32(payload + 8);
            p.stats.asked.emplace_back(static_cast<int64_t>(index) * p.piece_length + begin, now);
            if (p.behaviour.silent || c.choking_client || index >= static_cast<uint32_t>(p.pieces) ||
                !p.has[index] || length == 0 || length > bt::kMaxBlockLength ||
                static_cast<int64_t>(begin) + length > p.PieceSize(static_cast<int32_t>(index)))
                break;
            const int64_t first = static_cast<int64_t>(index) * p.piece_length + begin;
            std::string m;
            Put32(m, 9 + length);
            m.push_back(static_cast<char>(bt::kPiece));
            Put32(m, index);
            Put32(m, begin);
            m.append(*p.content, static_cast<size_t>(first), length);
            if (p.behaviour.corrupt)
                for (size_t k = 13; k < m.size(); ++k) m[k] = static_cast<char>(m[k] ^ 0x5a);
            Queue(c, std::move(m), first, first + length);
            break;
        }
        case bt::kCancel: {
            if (size != 12) break;
            ++p.stats.cancels;
            const int64_t first = static_cast<int64_t>(bt::ReadU32(payload)) * p.piece_length + bt::ReadU32(payload + 4);
            for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
                if (it->span_first == first && it->released == 0) {
                    c.pending.erase(it);
                    break;
                }
            }
            break;
        }
        case bt::kPiece: {
            if (size < 9) break;
            const uint32_t index = bt::ReadU32(payload), begin = bt::ReadU32(payload + 4);
            const int64_t length = static_cast<int64_t>(size) - 8;
            const int64_t first = static_cast<int64_t>(index) * p.piece_length + begin;
            const bool asked = c.asked.erase({static_cast<int32_t>(index), begin}) > 0;
            const bool right = asked && first + length <= static_cast<int64_t>(p.content->size()) &&
                               std::memcmp(p.content->data() + first, payload + 8, static_cast<size_t>(length)) == 0;
            if (!right) {
                p.stats.bad_from_us += length;
                break;
            }
            p.stats.uploaded_to_it += length;
            c.got.insert({static_cast<int32_t>(index), begin});
            int64_t& progress = c.piece_progress[static_cast<int32_t>(index)];
            progress += length;
            if (progress >= p.PieceSize(static_cast<int32_t>(index)) && !p.has[index]) {
                p.has[index] = true;
                ++p.stats.pieces_completed;
                std::string have;
                Put32(have, index);
                Queue(c, Message(bt::kHave, have));
            }
            QueueRequests(c);
            break;
        }
        default:
            break;  // interested, not interested and anything else: nothing to do
    }
}

void SimSwarm::TakeMessages(Connection& c, uint64_t now) {
    Peer& p = *c.peer;
    if (!c.handshaken) {
        // A standard client closes a connection that opens with an HTTP-looking
        // preamble (a handshake starts with the byte 19, the preamble with "GET ").
        if (!c.inbox.empty() && c.inbox[0] == 'G') {
            c.eof = true;
            c.inbox.clear();
            return;
        }
        if (c.inbox.size() < bt::kHandshakeSize) return;
        if (!bt::IsHandshakeProtocol(reinterpret_cast<const uint8_t*>(c.inbox.data()))) {
            c.eof = true;
            return;
        }
        const std::string info_hash = c.inbox.substr(bt::kInfoHashOffset, 20);
        c.inbox.erase(0, bt::kHandshakeSize);
        c.handshaken = true;
        c.handshake_ms = now;
        ++p.stats.connections;
        std::string handshake;
        handshake.push_back(19);
        handshake += "BitTorrent protocol";
        handshake.append(8, '\0');
        handshake += info_hash + p.peer_id;
        Queue(c, handshake);
        c.client_has.assign(static_cast<size_t>(p.pieces), false);
        if (std::any_of(p.has.begin(), p.has.end(), [](bool h) { return h; })) {
            std::string bits(static_cast<size_t>((p.pieces + 7) / 8), '\0');
            for (int32_t i = 0; i < p.pieces; ++i)
                if (p.has[static_cast<size_t>(i)]) bits[static_cast<size_t>(i / 8)] |= static_cast<char>(0x80 >> (i % 8));
            Queue(c, Message(bt::kBitfield, bits));
        }
        if (!p.Seeder()) Queue(c, Message(bt::kInterested));
        Update(c, now);
    }
    size_t at = 0;
    while (!c.eof) {
        const bt::Frame frame =
            bt::ReadFrame(reinterpret_cast<const uint8_t*>(c.inbox.data()) + at, c.inbox.size() - at);
        if (frame.status == bt::Frame::kOversized) {
            c.eof = true;  // a protocol error: the remote hangs up
            break;
        }
        if (frame.status != bt::Frame::kComplete) break;
        if (!frame.keep_alive) HandleMessage(c, frame.id, frame.payload, frame.payload_size, now);
        at += frame.size;
    }
    c.inbox.erase(0, at);
}

void SimSwarm::NoteRead(Connection& c, size_t bytes, uint64_t now) {
    c.read_pos += bytes;
    c.read_total += bytes;
    while (!c.marks.empty() && c.marks.front().stream_end <= c.read_total) {
        const Connection::Mark& m = c.marks.front();
        c.peer->stats.spans.emplace_back(m.first, m.end);
        c.peer->stats.span_ticks.push_back(now);
        c.peer->stats.block_bytes += m.end - m.first;
        c.marks.pop_front();
    }
    if (c.read_pos == c.readable.size()) {
        c.readable.clear();
        c.read_pos = 0;
    } else if (c.read_pos > (1u << 20)) {
        c.readable.erase(0, c.read_pos);
        c.read_pos = 0;
    }
}

// --- the transport ---------------------------------------------------------------------

int SimSwarm::Open(int32_t*) {
    std::lock_guard lock(mutex_);
    const int handle = next_handle_++;
    auto c = std::make_unique<Connection>();
    c->local_port = static_cast<uint16_t>(20000 + handle % 40000);
    connections_[handle] = std::move(c);
    return handle;
}

int SimSwarm::Bind(int handle, const StreamEndpoint&, int32_t* error) {
    std::lock_guard lock(mutex_);
    return Find(handle, error) ? 0 : -1;
}

int SimSwarm::Listen(int, int, int32_t* error) {
    *error = err::kAddressNotAvail;  // nothing listens on the simulated network
    return -1;
}

int SimSwarm::Accept(int, StreamEndpoint*, int32_t* error) {
    *error = err::kWouldBlock;
    return -1;
}

int SimSwarm::Connect(int handle, const StreamEndpoint& remote, int32_t* error) {
    int inner = -1;
    {
        std::lock_guard lock(mutex_);
        Connection* c = Find(handle, error);
        if (!c) return -1;
        auto it = peers_.find({remote.address, remote.port});
        if (it != peers_.end()) {
            const uint64_t now = clock_.TickMs();
            Peer& p = *it->second;
            ++p.stats.attempts;
            p.stats.attempt_ticks.push_back(now);
            if (!p.gone && p.behaviour.leave_at_ms >= 0 && now >= p.added_ms + static_cast<uint64_t>(p.behaviour.leave_at_ms))
                Leave(p);
            c->peer = &p;
            c->last_ms = now;
            if (p.gone) {
                c->pending_error = err::kConnRefused;
            } else {
                c->connected = true;
                int open = 0;
                for (const auto& entry : connections_) open += entry.second->peer && entry.second->connected && !entry.second->eof;
                most_connections_ = std::max(most_connections_, open);
            }
            *error = err::kWouldBlock;
            return -1;
        }
        inner = servers_.Open(error);
        c->inner = inner;
    }
    return servers_.Connect(inner, remote, error);
}

namespace {
// The server connection behind a handle, or -1.
template <class Map>
int InnerOf(const Map& connections, int handle) {
    auto it = connections.find(handle);
    return it == connections.end() ? -1 : it->second->inner;
}
}  // namespace

int64_t SimSwarm::Send(int handle, const uint8_t* data, size_t length, int32_t* error) {
    int inner;
    {
        std::lock_guard lock(mutex_);
        Connection* c = Find(handle, error);
        if (!c) return -1;
        inner = c->inner;
        if (inner < 0) {
            if (!c->connected) {
                *error = c->pending_error != err::kNone ? c->pending_error : err::kNotConnected;
                return -1;
            }
            if (c->eof) {
                *error = err::kConnReset;
                return -1;
            }
            c->inbox.append(reinterpret_cast<const char*>(data), length);
            TakeMessages(*c, clock_.TickMs());
            return static_cast<int64_t>(length);
        }
    }
    return servers_.Send(inner, data, length, error);
}

int64_t SimSwarm::Recv(int handle, uint8_t* data, size_t length, int32_t* error) {
    int inner;
    {
        std::lock_guard lock(mutex_);
        Connection* c = Find(handle, error);
        if (!c) return -1;
        inner = c->inner;
        if (inner < 0) {
            if (!c->connected) {
                *error = c->pending_error != err::kNone ? c->pending_error : err::kNotConnected;
                return -1;
            }
            const uint64_t now = clock_.TickMs();
            Update(*c, now);
            const size_t n = std::min(length, c->readable.size() - c->read_pos);
            if (n > 0) {
                std::memcpy(data, c->readable.data() + c->read_pos, n);
                NoteRead(*c, n, now);
                return static_cast<int64_t>(n);
            }
            if (c->eof) return 0;
            *error = err::kWouldBlock;
            return -1;
        }
    }
    return servers_.Recv(inner, data, length, error);
}

int SimSwarm::Wait(int handle, bool writable, int timeout_ms, int32_t* error) {
    int inner;
    {
        std::lock_guard lock(mutex_);
        Connection* c = Find(handle, error);
        if (!c) return -1;
        inner = c->inner;
        if (inner < 0) {
            if (writable || !c->connected || c->eof || !c->peer) return 1;
            Update(*c, clock_.TickMs());
            return c->readable.size() > c->read_pos ? 1 : 0;
        }
    }
    return servers_.Wait(inner, writable, timeout_ms, error);
}

int32_t SimSwarm::PendingError(int handle) {
    int inner;
    {
        std::lock_guard lock(mutex_);
        int32_t error = err::kNone;
        Connection* c = Find(handle, &error);
        if (!c) return error;
        inner = c->inner;
        if (inner < 0) return c->peer ? c->pending_error : err::kNotConnected;
    }
    return servers_.PendingError(inner);
}

int SimSwarm::LocalEndpoint(int handle, StreamEndpoint* local, int32_t* error) {
    int inner;
    {
        std::lock_guard lock(mutex_);
        Connection* c = Find(handle, error);
        if (!c) return -1;
        inner = c->inner;
        if (inner < 0) {
            local->address = InetAddr("127.0.10.1");
            local->port = c->local_port;
            return 0;
        }
    }
    return servers_.LocalEndpoint(inner, local, error);
}

int SimSwarm::SetReceiveBuffer(int handle, int bytes, int32_t* error) {
    int inner;
    {
        std::lock_guard lock(mutex_);
        Connection* c = Find(handle, error);
        if (!c) return -1;
        inner = c->inner;
        if (inner < 0) return 0;
    }
    return servers_.SetReceiveBuffer(inner, bytes, error);
}

void SimSwarm::Close(int handle) {
    int inner = -1;
    {
        std::lock_guard lock(mutex_);
        inner = InnerOf(connections_, handle);
        connections_.erase(handle);
    }
    if (inner >= 0) servers_.Close(inner);
}

}  // namespace zl::test
