#include "engine/core/sched/have_bitfield.h"

namespace zl {
namespace {

bool InRange(const std::vector<uint8_t>& bits, int64_t piece_count, int64_t index) {
    return index >= 0 && index < piece_count && uint64_t(index / 8) < bits.size();
}

}  // namespace

int64_t HaveBitfieldBytes(int64_t piece_count) { return piece_count > 0 ? (piece_count + 7) / 8 : 0; }

bool SetHaveBit(std::vector<uint8_t>& bits, int64_t piece_count, int64_t index, bool have) {
    if (!InRange(bits, piece_count, index)) return false;
    const uint8_t mask = uint8_t(0x80u >> (index % 8));
    uint8_t& byte = bits[size_t(index / 8)];
    byte = have ? uint8_t(byte | mask) : uint8_t(byte & ~mask);
    return true;
}

bool HasHaveBit(const std::vector<uint8_t>& bits, int64_t piece_count, int64_t index) {
    return InRange(bits, piece_count, index) && (bits[size_t(index / 8)] & (0x80u >> (index % 8))) != 0;
}

}  // namespace zl
