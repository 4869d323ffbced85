// The BitTorrent peer wire format: the 68-byte handshake, length-prefixed
// messages 0-8 read through one bounds-checked framer, the messages this
// engine sends, and the optional HTTP-looking preamble in front of the
// handshake. Pure functions over bytes: no socket, no task.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zl {

namespace bt {

inline constexpr size_t kHandshakeSize = 68;
inline constexpr size_t kInfoHashOffset = 28;
inline constexpr size_t kPeerIdOffset = 48;
// A message whose length prefix is above this closes the connection.
inline constexpr uint32_t kMaxMessageLength = 524288;
// A piece message carries a block of 1..131072 bytes; longer ends the connection.
inline constexpr uint32_t kMaxBlockLength = 131072;
// A preamble that has not ended within this many bytes is no preamble.
inline constexpr size_t kMaxPreambleSize = 4096;

enum MessageId : uint8_t {
    kChoke = 0,
    kUnchoke = 1,
    kInterested = 2,
    kNotInterested = 3,
    kHave = 4,
    kBitfield = 5,
    kRequest = 6,
    kPiece = 7,
    kCancel = 8,
};

// One framed message at the front of a buffer.
struct Frame {
    enum Status {
        kNeedMore,    // not all of it has arrived
        kComplete,    // `size` bytes from the front are the whole message
        kOversized,   // the length prefix is above kMaxMessageLength: protocol error
    };
    Status status = kNeedMore;
    bool keep_alive = false;   // length 0
    uint8_t id = 0;
    const uint8_t* payload = nullptr;
    uint32_t payload_size = 0;  // without the id byte
    size_t size = 0;            // length prefix + id + payload (what to consume)
    size_t available = 0;       // bytes of the message present so far (kNeedMore)
};

// Frames the message at the front of [data, data + size).
Frame ReadFrame(const uint8_t* data, size_t size);

// Payloads of the fixed-size messages; false when the payload size is wrong.
struct BlockRef {
    uint32_t index = 0;
    uint32_t begin = 0;
    uint32_t length = 0;
};
bool ParseHave(const Frame& frame, uint32_t* index);
bool ParseBlockRef(const Frame& frame, BlockRef* ref);  // request and cancel: exactly 12 bytes
// A piece message: index, begin and the block (at least 1 byte).
bool ParsePieceHeader(const Frame& frame, uint32_t* index, uint32_t* begin, const uint8_t** block,
                      uint32_t* block_length);
// The private "cannot read" reply some engines of this program send: length
// 14, id 7, index 0, begin 2, then 0x35 and a piece index. It is no block.
bool IsCannotReadReply(const Frame& frame);

uint32_t ReadU32(const uint8_t* p);
void WriteU32(uint8_t* p, uint32_t value);

// --- messages we send ---
void AppendSimple(std::vector<uint8_t>& out, MessageId id);                 // choke .. not interested
void AppendHave(std::vector<uint8_t>& out, uint32_t index);
void AppendBitfield(std::vector<uint8_t>& out, const std::vector<uint8_t>& bits);
void AppendBlockRef(std::vector<uint8_t>& out, MessageId id, const BlockRef& ref);  // request or cancel
// The 13 bytes before a piece message's block.
void AppendPieceHeader(std::vector<uint8_t>& out, uint32_t index, uint32_t begin, uint32_t block_length);
inline constexpr uint8_t kKeepAlive[4] = {0, 0, 0, 0};
// Interested, then unchoke: sent right after the handshake.
inline constexpr uint8_t kInterestedUnchoke[10] = {0, 0, 0, 1, 2, 0, 0, 0, 1, 1};

// --- the handshake ---
bool IsHandshakeProtocol(const uint8_t* data);  // byte 19, "BitTorrent protocol"

// --- the HTTP-looking preamble ---
// The preamble an outgoing connection sends before its handshake. `address`
// is in network order; `attempts` decides the User-Agent line (even counts).
std::string DisguiseHeader(uint32_t address, int32_t port, int32_t attempts);
// The answer an accepted connection sends before its handshake when the
// remote's first bytes carried a preamble; `clock_seconds` picks the variant.
std::string DisguiseReply(uint64_t clock_seconds);

enum class Preamble {
    kNone,      // the bytes do not start with a preamble
    kNeedMore,  // a preamble has begun but not ended
    kFound,     // *length bytes (through the blank line) are the preamble
    kInvalid,   // a preamble that does not end within kMaxPreambleSize
};
// One leading header block that starts with "HTTP", "POST" or "GET", up to
// "\r\n\r\n" or "\n\n".
Preamble FindPreamble(const uint8_t* data, size_t size, size_t* length);

}  // namespace bt
}  // namespace zl
