// BitTorrent remotes on the simulated network: seeders and leechers at
// loopback endpoints that answer our peers as a standard client would (the
// handshake, a bitfield, choke and unchoke, blocks for requests, haves), with
// a set upload speed and scripted faults: corrupt blocks, silence, choke
// storms, a late unchoke and departure. Blocks become readable as the clock
// moves, so whole swarms run through minutes of simulated time in a fraction
// of a second. Every other address is passed on to the HTTP servers of a
// SimNetwork, so one task can take a file from mirrors and peers at once.
// Thread-safe: the task's worker calls the transport while the test reads
// the figures.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/clock.h"
#include "engine/net/stream_transport.h"
#include "tests/engine/core/sim/sim_network.h"

namespace zl::test {

// How a simulated BitTorrent remote behaves. The default is a seeder that
// unchokes at once and sends as fast as it is asked.
struct SimPeerBehaviour {
    int64_t rate = 0;               // block bytes per simulated second it sends us; 0: unlimited
    double holds = 1.0;             // share of the pieces held at the start (1: a seeder)
    int64_t gain_every_ms = 0;      // a leecher gains one more piece this often and announces it
    bool asks_us = false;           // a leecher that requests the pieces we announce
    int64_t unchoke_after_ms = 0;   // its first unchoke comes this long after the handshake
    int64_t choke_period_ms = 0;    // choke storm: chokes and unchokes us in turns of this length
    bool corrupt = false;           // every block it sends is altered
    bool silent = false;            // takes requests and never answers them
    int64_t leave_at_ms = -1;       // from this time on (since AddPeer) it is gone: closed and refusing
};

struct SimPeerStats {
    int64_t attempts = 0;          // connection attempts, refused ones included
    int64_t connections = 0;       // handshakes answered
    int64_t requests = 0;          // requests received
    int64_t cancels = 0;
    int64_t chokes = 0;            // chokes it sent us
    int64_t block_bytes = 0;       // block bytes the client read from it
    int64_t uploaded_to_it = 0;    // block bytes it received from us, correct ones
    int64_t bad_from_us = 0;       // block bytes from us that were wrong or unasked
    int64_t pieces_completed = 0;  // a leecher's pieces completed from our blocks
    std::vector<bool> held_at_start;  // the pieces it held when it was added
    std::vector<uint64_t> attempt_ticks;
    // The file's spans [first, end) of every block the client read whole.
    std::vector<std::pair<int64_t, int64_t>> spans;
    std::vector<uint64_t> span_ticks;  // when each was read
    // The file offset of every block requested from it, and when.
    std::vector<std::pair<int64_t, uint64_t>> asked;
};

class SimSwarm final : public IStreamTransport {
public:
    // `servers` answers every address that is not a BitTorrent remote; `seed`
    // fixes which pieces partial holders start with.
    SimSwarm(Clock& clock, SimNetwork& servers, uint64_t seed);
    ~SimSwarm() override;

    // A remote at `address` ("127.0.10.x") and `port` holding (part of)
    // `content`, a torrent of `piece_length` pieces (remotes share one copy).
    void AddPeer(const std::string& address, uint16_t port, std::shared_ptr<const std::string> content,
                 int64_t piece_length, SimPeerBehaviour behaviour = {});
    SimPeerStats Stats(const std::string& address, uint16_t port) const;
    // Connections to BitTorrent remotes open now, and the most seen at once.
    int OpenConnections() const;
    int MostConnections() const;

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

    // Bytes a connection may hold that the client has not read yet.
    static constexpr int64_t kWindow = 256 * 1024;

private:
    struct Peer;
    struct Connection;
    struct Segment;

    Connection* Find(int handle, int32_t* error);
    void Update(Connection& c, uint64_t now);
    void TakeMessages(Connection& c, uint64_t now);
    void HandleMessage(Connection& c, uint8_t id, const uint8_t* payload, size_t size, uint64_t now);
    void Queue(Connection& c, std::string bytes, int64_t span_first = 0, int64_t span_end = 0);
    void QueueRequests(Connection& c);
    void SetChoking(Connection& c, bool choke);
    void Leave(Peer& p);
    void NoteRead(Connection& c, size_t bytes, uint64_t now);

    Clock& clock_;
    SimNetwork& servers_;
    uint64_t seed_;
    mutable std::mutex mutex_;
    std::map<std::pair<uint32_t, uint16_t>, std::unique_ptr<Peer>> peers_;
    std::map<int, std::unique_ptr<Connection>> connections_;
    int next_handle_ = 3'000'000;
    int most_connections_ = 0;
};

}  // namespace zl::test
