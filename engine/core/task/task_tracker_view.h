// What a task's tracker connector reads from the task: the P2P switch, the
// torrent's tracker URLs and the figures an announce carries.
#pragma once
#include <string>
#include <vector>

#include "engine/net/tracker_task.h"

namespace zl {

struct TaskTrackerView {
    bool p2p = false;                  // the engine's P2P switch
    std::vector<std::string> urls;     // the torrent's tracker list (announce first)
    TrackerAnnounceFacts facts;
};

}  // namespace zl
