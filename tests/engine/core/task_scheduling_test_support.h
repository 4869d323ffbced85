// Helpers shared by the scheduling tests: the request records and the piece
// map's headers cannot meet in one file (they name their block size apart).
#pragma once
#include <cstdint>
#include <vector>

namespace zl {
class TaskScheduling;
namespace test {

// Lists a request for (block, length) on the shared list.
bool ShareBlock(TaskScheduling& scheduling, int64_t block, int32_t length);
// The piece indexes of a batch of "have" buffers, each message checked.
std::vector<int32_t> Announced(const std::vector<std::vector<uint8_t>>& batch);

}  // namespace test
}  // namespace zl
