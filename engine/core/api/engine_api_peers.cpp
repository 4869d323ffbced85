#include "engine/core/api/engine_api_peers.h"

#include <algorithm>
#include <cstring>

#include "engine/core/api/engine_api_detail.h"

namespace zl {

int32_t EngineSetBindAddress(EngineContext& c, uint32_t address) {
    c.Switches().bind_address = address;
    return ENGINE_OK;
}

int32_t EngineSetTorrentTrackers(EngineContext& c, int32_t on) {
    c.Switches().torrent_trackers = on != 0;
    return ENGINE_OK;
}

int32_t TaskGetPeerInfo(EngineContext& c, TaskHandle task, TaskPeerInfo* info) {
    if (!info) return ENGINE_E_INVALID_ARG;
    return api_detail::WithTask(c, task, [&](TWorkThread& t) {
        const TaskPeerFigures f = t.PeerFigures();
        *info = TaskPeerInfo{};
        info->peers = f.peers;
        info->seeds = f.seeds;
        info->upload_speed = f.upload_speed;
        info->uploaded = f.uploaded;
        info->http_bytes = f.http_bytes;
        info->ftp_bytes = f.ftp_bytes;
        info->bt_bytes = f.bt_bytes;
        info->twice_bytes = f.twice_bytes;
        info->sources = f.sources;
        info->failing = f.failing;
        const size_t n = std::min(f.failing_text.size(), sizeof info->failing_text - 1);
        std::memcpy(info->failing_text, f.failing_text.data(), n);
        info->failing_text[n] = '\0';
        return ENGINE_OK;
    });
}

int32_t EngineSetBindAddress(uint32_t address) { return EngineSetBindAddress(EngineContext::Default(), address); }
int32_t EngineSetTorrentTrackers(int32_t on) { return EngineSetTorrentTrackers(EngineContext::Default(), on); }
int32_t TaskGetPeerInfo(TaskHandle task, TaskPeerInfo* info) {
    return TaskGetPeerInfo(EngineContext::Default(), task, info);
}

}  // namespace zl
