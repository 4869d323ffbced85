#include "engine/core/task/task_work_with_peers.h"

#include <poll.h>

#include <algorithm>

#include "engine/core/api/engine_context.h"
#include "engine/core/task/source_lines.h"

namespace zl {

TWorkWithPeers::TWorkWithPeers(EngineContext& context) : TWorkWithTransStatis(context) {}

TWorkWithPeers::~TWorkWithPeers() { driver_.reset(); }

// --- the sources and limits the interface sets -------------------------------------

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

TaskPeerFigures TWorkWithPeers::PeerFigures() {
    std::lock_guard guard(figures_mutex_);
    return peer_figures_;
}

// --- the run's peers ---------------------------------------------------------------

TaskPeers& TWorkWithPeers::Driver() {
    if (!driver_) {
        {
            ScopedLock guard(Lock());
            connections_per_server_ = Settings().connections_per_server;
        }
        StartStatistics();
        driver_ = MakeTaskPeers(*this, Statistics());
        last_snapshot_ms_ = Context().GetClock().TickMs();
    }
    return *driver_;
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
    // Servers added through the interface (the server list) join through the
    // peers' server balancing.
    Driver().AddSources(candidates_);
}

void TWorkWithPeers::PeerPass() {
    TaskPeers& driver = Driver();
    ServeNetwork();
    const bool was_complete = driver.IsComplete();
    if (driver.Pass() > 0 && !was_complete && driver.IsComplete()) {
        // The last piece is in memory: write it and close the files now, so
        // the figures (and the loop's end condition) see the data complete
        // without waiting for the periodic flush, and whoever sees them
        // complete finds the files under their final names.
        ClosePieceFiles();
    }
    http_bytes_ = driver.HttpBytes() + driver.FtpBytes();
    peer_bytes_ = driver.BitTorrentBytes();
    uploaded_bytes_ = driver.UploadedBytes();
    // The byte counters stay current between statistics passes: a download
    // that completes (and is published at once) within a second shows them.
    live_.http_bytes = http_bytes_;
    live_.peer_bytes = peer_bytes_;
    live_.downloaded_total = http_bytes_ + peer_bytes_;
    // The counters of the interface's peer figures stay current too.
    std::lock_guard guard(figures_mutex_);
    peer_figures_.http_bytes = driver.HttpBytes();
    peer_figures_.ftp_bytes = driver.FtpBytes();
    peer_figures_.bt_bytes = peer_bytes_;
    peer_figures_.uploaded = uploaded_bytes_;
    peer_figures_.peers = std::max(peer_figures_.peers, driver.ConnectedPeers());
}

void TWorkWithPeers::FourSecondPass() {
    if (!driver_) return;
    const uint64_t now_ms = Context().GetClock().TickMs();
    driver_->RateSnapshot(now_ms - last_snapshot_ms_);
    last_snapshot_ms_ = now_ms;
    driver_->CandidateCleanUp();
}

void TWorkWithPeers::WaitBetweenSteps(uint32_t ms) {
    Clock& clock = Context().GetClock();
    // A verdict of the hash workers wakes no descriptor: while pieces are
    // being hashed the pause stays at a millisecond.
    if (PieceMap() && PieceMap()->HashesInFlight()) ms = std::min<uint32_t>(ms, 1);
    // A seed waits on its peers too: for requests, and for room to send.
    const bool seeding = driver_ && driver_->IsComplete();
    // A UDP-stream connection wakes the wait only when its window opens or
    // data arrives, and each such wake moves at most a window's worth: bytes
    // it moved count as progress, even before they complete a block or
    // leave the send queue that was filled (and counted) earlier.
    const uint64_t payload = !driver_ ? 0
                             : (seeding ? driver_->UploadedBytes()
                                        : driver_->HttpBytes() + driver_->FtpBytes() + driver_->BitTorrentBytes()) +
                                   driver_->UdpStreamBytes();
    // A ready connection that gave nothing (a peer waiting for its turn, or
    // bytes it cannot use yet) must not turn the pause into a busy loop: after
    // such a wake-up the next pause is a plain sleep.
    const bool idle_wake = woke_early_ && payload == bytes_at_wake_;
    woke_early_ = false;
    if (!driver_ || idle_wake || (!seeding && Statistics().DownloadAllowance() <= 0) ||
        (seeding && (!ViewP2P() || Statistics().UploadAllowance() == 0))) {
        clock.SleepMs(ms);
        return;
    }
    wait_entries_.clear();
    driver_->AddWaitEntries(wait_entries_);
    // UDP-stream connections wake the wait through their event descriptors.
    if (clock.WaitForIo(wait_entries_.data(), wait_entries_.size(), ms) > 0) {
        woke_early_ = true;
        bytes_at_wake_ = payload;
    }
}

void TWorkWithPeers::StatisticsPass(uint64_t now) {
    TWorkWithTransStatis::StatisticsPass(now);
    if (driver_) {
        TaskPeerFigures f;
        f.peers = driver_->ConnectedPeers();
        f.seeds = driver_->ConnectedSeeds();
        f.upload_speed = Statistics().AverageUploadSpeed();
        f.uploaded = driver_->UploadedBytes();
        f.http_bytes = driver_->HttpBytes();
        f.ftp_bytes = driver_->FtpBytes();
        f.bt_bytes = driver_->BitTorrentBytes();
        f.twice_bytes = driver_->TwiceBytes();
        f.sources = driver_->UsableSourceCount();
        f.failing_text = driver_->FailingSources(&f.failing);
        std::lock_guard guard(figures_mutex_);
        peer_figures_ = std::move(f);
    }
    NoteDataSecond(driver_ && driver_->HadCandidates());
    SchedulingSecond();
}

void TWorkWithPeers::AnnounceHaves() {
    // Completed pieces are announced in batches to the BitTorrent peers; the
    // batch is taken (and its pieces cleared) whether or not any are connected.
    for (const std::vector<uint8_t>& buffer : TakeHaveBatch(GetClock().TickMs()))
        if (driver_) driver_->SendToBitTorrentPeers(buffer.data(), buffer.size());
}

void TWorkWithPeers::ApplyPendingChanges() {
    TWorkWithTransStatis::ApplyPendingChanges();
    connections_per_server_ = Settings().connections_per_server;
}

void TWorkWithPeers::OnPieceChecked(int32_t piece, bool ok) {
    if (driver_) driver_->OnPieceChecked(piece, ok);
}

void TWorkWithPeers::Reset(ResetScope scope) {
    // Peers go before the piece map they write into.
    driver_.reset();
    ForgetNetwork();
    candidates_.clear();
    max_server_connections_ = 49;
    TWorkWithTransStatis::Reset(scope);
}

}  // namespace zl
