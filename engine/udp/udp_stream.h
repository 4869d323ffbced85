// One connection of the UDP stream transport: its handshake state, its two
// windows of 12 segments and its timers. Streams live in the transport's
// handle table under a random non-zero 31-bit id that is also the connection
// id on the wire; a stream taken again from the free pool gets a fresh id, so
// packets for its former life match nothing.
#pragma once
#include <array>
#include <cstdint>

#include "engine/udp/endpoint_tag.h"
#include "engine/udp/udp_stream_packet.h"

namespace zl {

enum class UdpStreamState : uint8_t {
    kNew,
    kBound,
    kListening,
    kViaRendezvous,  // Connect called, waiting for the rendezvous server or a punch
    kConnecting,     // SYN sent to a known address
    kAccepting,      // made from an incoming SYN, SYN-ACK sent
    kEstablished,
    kClosed,
};

const char* UdpStreamStateName(UdpStreamState state);

// Which of the transport's lists holds a stream (at most one).
enum class UdpStreamList : uint8_t { kNone, kOpen, kBound, kAcceptQueue };

struct UdpSendSlot {
    uint8_t* packet = nullptr;  // the whole DATA packet; null once acknowledged
    uint32_t payload = 0;       // payload bytes
    uint64_t sent_ms = 0;       // last send, 0 = not sent yet
    uint32_t retries = 0;
};

// A received DATA segment, stored as bytes 32.. of its packet (payload at 32).
struct UdpSegment {
    uint8_t* stored = nullptr;
    uint32_t payload = 0;
    uint32_t number = 0;
};

struct UdpStream {
    static constexpr size_t kStoredPayloadAt = udpstream::kDataHeaderSize - udpstream::kHeaderSize;

    uint32_t id = 0;  // our stream id: the handle and our connection id
    EndpointTag remote_tag{};
    UdpStreamState state = UdpStreamState::kNew;
    UdpStreamList list = UdpStreamList::kNone;
    int64_t request_number = -1;  // pending rendezvous request, -1 when none
    uint32_t peer_sequence = 0;
    uint32_t own_sequence = 0;
    uint16_t remote_port = 0;  // host order
    uint32_t remote_stream_id = 0;
    uint64_t bytes_acknowledged = 0;
    uint64_t bytes_received = 0;
    uint32_t remote_address = 0;  // network order
    uint64_t last_activity = 0;   // engine seconds
    uint64_t request_time = 0;    // engine seconds
    uint16_t service_port = 0;
    uint32_t nonce = 0;
    uint32_t echo = 0;  // the port the connector sent its SYN to (SYN offset 32)
    bool accepting = false;
    bool connected = false;
    int32_t close_error = 0;  // why it closed: 0 for the other end's CLOSE
    uint32_t syn_ack_resends = 0;

    // Send slots: slot 0 holds segment `send_base`. The first 12 are the
    // window; behind it wait the segments Send took beyond it, which go out
    // as acknowledgements move the window over them.
    static constexpr int kSendSlots = 96;
    std::array<UdpSendSlot, kSendSlots> send{};
    int send_used = 0;
    uint32_t send_base = 0;
    uint32_t peer_send_base = 0;
    // The other end's next expected segment, from its ACKs: it drops a
    // segment 12 or more beyond it, so such a segment waits (wait_since_ms)
    // instead of going out to be lost.
    uint32_t peer_next_expected = 0;
    uint64_t wait_since_ms = 0;

    // Receive window: slot 0 is segment `next_expected`.
    std::array<UdpSegment, udpstream::kWindow> receive{};
    uint32_t next_expected = 0;

    // In-order segments not yet read, a ring from `readable_head`; the first
    // may be partly read. How many it may hold is the transport's choice
    // (12 for the bare calls).
    static constexpr int kReadableSlots = 60;
    std::array<UdpSegment, kReadableSlots> readable{};
    int readable_head = 0;
    int readable_count = 0;
    uint32_t read_offset = 0;
    UdpSegment& Readable(int i) { return readable[size_t((readable_head + i) % kReadableSlots)]; }
    // Data arrived that the reader was not yet told of: the wake-up waits
    // for more to gather (see the transport's read_queue).
    bool read_held = false;

    uint64_t last_ack_ms = 0;  // when an ACK was last sent
    uint32_t acked_next = 0;   // the next expected segment that ACK reported
    bool ack_due = false;
    uint32_t data_since_ack = 0;
    // ACKs the segments of the batch being read earned (one per 4, or per 2
    // out of order): the batch's last state goes out once when it ends, since
    // all of them would leave together anyway.
    uint32_t acks_owed = 0;
    uint64_t gap_seen_ms = 0;  // when a segment last arrived ahead of a gap (0: never)

    // Loss estimate.
    uint32_t send_count = 0;
    uint32_t resend_count = 0;
    uint64_t counters_reset_time = 0;  // engine seconds

    // Smoothed round trip of first sends, for resends on an ACK's evidence.
    uint32_t srtt_ms = 0;

    // The descriptor a task loop polls for this stream (-1 until asked for):
    // readable while an event (data, room in the window, the handshake done,
    // the close, for a listener a connection to accept) waits for a call.
    int event_fd = -1;
    bool event_raised = false;

    // Whether slot i went out at least once (only such a slot can be acknowledged).
    bool WasSent(int i) const { return send[size_t(i)].sent_ms != 0 || send[size_t(i)].retries != 0; }
    bool HasReadableData() const { return readable_count > 0 || receive[0].stored != nullptr; }
};

}  // namespace zl
