#include "engine/core/task/task_work_with_peers.h"

#include <algorithm>

#include "engine/core/task/source_lines.h"

namespace zl {

TWorkWithPeers::TWorkWithPeers(EngineContext& context) : TBaseWork(context) {}

int32_t TWorkWithPeers::SetConnectionLimits(int32_t servers, int32_t peers) {
    ScopedLock guard(Lock());
    max_server_connections_ = servers;
    max_peer_connections_ = peers;
    return 0;
}

void TWorkWithPeers::ClearServers() {
    ScopedLock guard(Lock());
    server_urls_.clear();
    server_hosts_.clear();
    server_mode_ = false;
}

void TWorkWithPeers::AddServers(const char* urls, const char* hosts) {
    ScopedLock guard(Lock());
    for (std::string& line : SplitSourceLines(urls ? urls : "")) server_urls_.push_back(std::move(line));
    for (std::string& line : SplitSourceLines(hosts ? hosts : "")) server_hosts_.push_back(std::move(line));
    server_mode_ = true;
}

void TWorkWithPeers::AddSourcesText(const std::string& text) {
    ScopedLock guard(Lock());
    for (std::string& line : SplitSourceLines(text))
        if (!line.empty()) pending_sources_.push_back(std::move(line));
}

void TWorkWithPeers::RefreshSources() {
    std::vector<std::string> fresh;
    {
        ScopedLock guard(Lock());
        for (const SourceEntry& s : Sources()) fresh.push_back(s.text);
        for (std::string& s : pending_sources_) fresh.push_back(std::move(s));
        pending_sources_.clear();
    }
    for (std::string& s : fresh) {
        if (s.empty() || std::find(candidates_.begin(), candidates_.end(), s) != candidates_.end()) continue;
        candidates_.push_back(std::move(s));
    }
}

void TWorkWithPeers::Reset(ResetScope scope) {
    Deactivate();
    candidates_.clear();
    max_server_connections_ = 49;
    TBaseWork::Reset(scope);
}

}  // namespace zl
