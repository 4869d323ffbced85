// Finding BitTorrent peers of the same torrent on the local network without
// a tracker: each task announces itself twice on a multicast group, answers
// the announcements of others with a reply, and turns what it hears into
// candidates. One socket serves every task; datagrams for another task's
// torrent wait in a short list until that task looks, and expire.
//
// The address a candidate gets is the one the datagram came from: a datagram
// whose payload names another address is not trusted (any host could
// otherwise steer connections anywhere). Used under the engine's data lock.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/core/listener/lan_datagram.h"

namespace zl {

struct LanTaskFacts {
    const void* task = nullptr;
    std::array<uint8_t, 20> info_hash{};
    std::array<uint8_t, 20> peer_id{};
    uint32_t published_address = 0;  // network order
    int32_t published_port = 0;
    size_t registered_tasks = 1;     // tasks of the engine (stored datagrams wait for each)
    uint64_t now_s = 0;              // engine clock
};

// A peer found for a task: where to connect and who it says it is.
struct LanPeer {
    uint32_t address = 0;  // network order
    uint16_t port = 0;
    std::array<uint8_t, 20> peer_id{};
    bool announcement = false;  // it asked for a reply
};

class LanDiscovery {
public:
    static constexpr uint64_t kKeepSeconds = 30;  // a stored datagram for another task
    static constexpr size_t kMaxStored = 64;      // stored datagrams at most (oldest go first)
    static constexpr int kAnnouncements = 2;
    static constexpr int kReadsPerExchange = 256;  // datagrams read at most per exchange

    LanDiscovery();
    ~LanDiscovery();
    LanDiscovery(const LanDiscovery&) = delete;
    LanDiscovery& operator=(const LanDiscovery&) = delete;

    // The group and port the datagrams use (default: the engine's group, port 31576).
    void SetGroup(uint32_t group, uint16_t port);
    uint32_t group() const { return group_; }
    uint16_t port() const { return port_; }

    // Binds the port on every local address, joins the group on the
    // interface of `interface_address` and sends through it. False (and
    // closed) on any failure.
    bool Open(uint32_t interface_address);
    void Close();
    bool ready() const { return fd_ >= 0; }

    // One task's exchange (see the file comment). A send or read error closes the socket.
    std::vector<LanPeer> Exchange(const LanTaskFacts& facts);

    // A task's run ended: it announces afresh next time and may look at the
    // stored datagrams again.
    void Forget(const void* task);
    size_t stored() const { return stored_.size(); }

    // --- the rules, without a socket (tests) ---
    // What a received datagram means for this task; `from` is its source address.
    enum class Verdict {
        kIgnore,     // ours, malformed, or its payload address disagrees with its source
        kOtherTask,  // for another torrent: stored for the task it is for
        kMine,       // a peer of this task's torrent
    };
    static Verdict Judge(const LanDatagram& d, uint32_t from, const LanTaskFacts& facts);
    // Stores a datagram for another task (deduplicated by peer id, capped).
    void Store(const LanDatagram& d, uint32_t from, const LanTaskFacts& facts);
    // Stored datagrams for this task become peers; the others are aged out.
    std::vector<LanPeer> TakeStored(const LanTaskFacts& facts);

private:
    struct Stored {
        LanDatagram datagram;
        uint32_t from = 0;
        uint64_t arrived_s = 0;
        std::vector<const void*> looked;  // tasks that have seen it
    };
    struct Announced {
        const void* task = nullptr;
    };

    bool Send(const LanDatagram& d);
    LanDatagram Own(const LanTaskFacts& facts, bool reply) const;
    void Expire(uint64_t now_s);

    int fd_ = -1;
    uint32_t group_;
    uint16_t port_ = kLanPort;
    std::vector<Stored> stored_;
    std::vector<const void*> announced_;
};

}  // namespace zl
