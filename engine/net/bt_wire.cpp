#include "engine/net/bt_wire.h"

#include <algorithm>
#include <cstring>

namespace zl::bt {

uint32_t ReadU32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void WriteU32(uint8_t* p, uint32_t value) {
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

Frame ReadFrame(const uint8_t* data, size_t size) {
    Frame f;
    f.available = size;
    if (!data || size < 4) return f;
    const uint32_t length = ReadU32(data);
    if (length > kMaxMessageLength) {
        f.status = Frame::kOversized;
        return f;
    }
    f.size = 4 + size_t(length);
    if (length == 0) {
        f.status = Frame::kComplete;
        f.keep_alive = true;
        return f;
    }
    if (size >= 5) f.id = data[4];
    if (size < f.size) return f;
    f.status = Frame::kComplete;
    f.payload = data + 5;
    f.payload_size = length - 1;
    return f;
}

bool ParseHave(const Frame& f, uint32_t* index) {
    if (f.status != Frame::kComplete || f.id != kHave || f.payload_size != 4) return false;
    *index = ReadU32(f.payload);
    return true;
}

bool ParseBlockRef(const Frame& f, BlockRef* ref) {
    if (f.status != Frame::kComplete || f.payload_size != 12) return false;
    ref->index = ReadU32(f.payload);
    ref->begin = ReadU32(f.payload + 4);
    ref->length = ReadU32(f.payload + 8);
    return true;
}

bool ParsePieceHeader(const Frame& f, uint32_t* index, uint32_t* begin, const uint8_t** block,
                      uint32_t* block_length) {
    if (f.status != Frame::kComplete || f.id != kPiece || f.payload_size <= 8) return false;
    *index = ReadU32(f.payload);
    *begin = ReadU32(f.payload + 4);
    *block = f.payload + 8;
    *block_length = f.payload_size - 8;
    return true;
}

bool IsCannotReadReply(const Frame& f) {
    return f.status == Frame::kComplete && f.id == kPiece && f.payload_size == 13 && ReadU32(f.payload) == 0 &&
           ReadU32(f.payload + 4) == 2 && f.payload[8] == 0x35;
}

namespace {

void AppendHeader(std::vector<uint8_t>& out, uint32_t length, uint8_t id) {
    uint8_t h[5];
    WriteU32(h, length);
    h[4] = id;
    out.insert(out.end(), h, h + 5);
}

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t b[4];
    WriteU32(b, value);
    out.insert(out.end(), b, b + 4);
}

}  // namespace

void AppendSimple(std::vector<uint8_t>& out, MessageId id) { AppendHeader(out, 1, id); }

void AppendHave(std::vector<uint8_t>& out, uint32_t index) {
    AppendHeader(out, 5, kHave);
    AppendU32(out, index);
}

void AppendBitfield(std::vector<uint8_t>& out, const std::vector<uint8_t>& bits) {
    AppendHeader(out, uint32_t(bits.size() + 1), kBitfield);
    out.insert(out.end(), bits.begin(), bits.end());
}

void AppendBlockRef(std::vector<uint8_t>& out, MessageId id, const BlockRef& ref) {
    AppendHeader(out, 13, id);
    AppendU32(out, ref.index);
    AppendU32(out, ref.begin);
    AppendU32(out, ref.length);
}

void AppendPieceHeader(std::vector<uint8_t>& out, uint32_t index, uint32_t begin, uint32_t block_length) {
    AppendHeader(out, 9 + block_length, kPiece);
    AppendU32(out, index);
    AppendU32(out, begin);
}

bool IsHandshakeProtocol(const uint8_t* data) {
    static const char kProtocol[] = "BitTorrent protocol";
    return data[0] == 19 && std::memcmp(data + 1, kProtocol, 19) == 0;
}

std::string DisguiseHeader(uint32_t address, int32_t port, int32_t attempts) {
    std::string text = "GET / HTTP/1.0\r\n";
    if (attempts % 2 == 0) text += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
    // The address bytes a.b.c.d (network order in memory) as a + 256 b + 65536 c + 16777216 d.
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
    const uint64_t number = uint64_t(b[0]) + 256ull * b[1] + 65536ull * b[2] + 16777216ull * b[3];
    text += "Host: " + std::to_string(number) + ":" + std::to_string(port % 6881) + "\r\n\r\n";
    return text;
}

std::string DisguiseReply(uint64_t clock_seconds) {
    const bool even = clock_seconds % 2 == 0;
    std::string text = "HTTP/1.0 200 OK\r\nConnection: ";
    text += even ? "Keep-Alive\r\n" : "Close\r\n";
    if (even) text += "Content-Encoding: none\r\n";
    text += "\r\n";
    return text;
}

Preamble FindPreamble(const uint8_t* data, size_t size, size_t* length) {
    *length = 0;
    if (size == 0) return Preamble::kNeedMore;
    // The first bytes must be able to begin one of the three words.
    static const char* const kWords[] = {"HTTP", "POST", "GET"};
    bool could_be = false;
    for (const char* word : kWords) {
        const size_t n = std::min(size, std::strlen(word));
        if (std::memcmp(data, word, n) == 0) {
            could_be = true;
            if (n < std::strlen(word)) return Preamble::kNeedMore;
        }
    }
    if (!could_be) return Preamble::kNone;
    const size_t scan = std::min(size, kMaxPreambleSize);
    for (size_t i = 0; i < scan; ++i) {
        if (data[i] != '\n') continue;
        if (i + 1 < scan && data[i + 1] == '\n') {
            *length = i + 2;
            return Preamble::kFound;
        }
        if (i + 2 < scan && data[i + 1] == '\r' && data[i + 2] == '\n') {
            *length = i + 3;
            return Preamble::kFound;
        }
    }
    return size >= kMaxPreambleSize ? Preamble::kInvalid : Preamble::kNeedMore;
}

}  // namespace zl::bt
