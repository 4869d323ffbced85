// The task's copy of the have-bitfield (most significant bit first, as peers
// and the resume data expect), kept in step with the piece map's notices.
// Owned by the piece layer of the task (TWorkWithPieces::OnPieceEvent): an
// index at or beyond the piece count never touches the bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zl {

// Bytes of a bitfield for `piece_count` pieces; 0 for no pieces.
int64_t HaveBitfieldBytes(int64_t piece_count);

// Sets or clears the bit of `index`; false (nothing changed) for an index
// outside 0 .. piece_count - 1 or beyond the bytes held.
bool SetHaveBit(std::vector<uint8_t>& bits, int64_t piece_count, int64_t index, bool have);
bool HasHaveBit(const std::vector<uint8_t>& bits, int64_t piece_count, int64_t index);

}  // namespace zl
