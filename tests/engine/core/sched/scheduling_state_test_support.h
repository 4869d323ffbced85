// Helpers shared by the scheduling tests: the request records and the piece
// map's headers cannot meet in one file (they name their block size apart).
#pragma once
#include <cstdint>
#include <vector>

namespace zl {
class TaskPeers;
class TaskScheduling;
namespace test {

// What the task's peers learnt through their view of the task (IPeerTask).
struct PeerTaskCalls {
    bool peer_task = false;  // the task's peers answer as IPeerTask
    bool returned_listed = false;
    bool taken = false;
    bool taken_again = false;
    bool in_endgame = false;
};
// As peers do: hands back requests for `returned` (a leaving peer), asks
// whether `returned[0]` is shared, takes `taken` off the shared list twice,
// stops requesting `not_requested` once and asks for the end game.
PeerTaskCalls ThroughPeerTask(TaskPeers& peers, const std::vector<int64_t>& returned, int64_t taken,
                              int32_t not_requested);

// Lists a request for (block, length) on the shared list.
bool ShareBlock(TaskScheduling& scheduling, int64_t block, int32_t length);
// The piece indexes of a batch of "have" buffers, each message checked.
std::vector<int32_t> Announced(const std::vector<std::vector<uint8_t>>& batch);

}  // namespace test
}  // namespace zl
