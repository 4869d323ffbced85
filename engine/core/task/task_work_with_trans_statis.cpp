#include "engine/core/task/task_work_with_trans_statis.h"

#include <poll.h>

#include <algorithm>

#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"

namespace zl {

TWorkWithTransStatis::TWorkWithTransStatis(EngineContext& context)
    : TWorkWithPieces(context), statistics_(context.GetClock()) {}

TWorkWithTransStatis::~TWorkWithTransStatis() { driver_.reset(); }

TaskPeers& TWorkWithTransStatis::Driver() {
    if (!driver_) {
        {
            ScopedLock guard(Lock());
            download_limit_kib_ = Settings().download_limit_kib;
            upload_limit_kib_ = Settings().upload_limit_kib;
            connections_per_server_ = Settings().connections_per_server;
            connection_budget_ = Settings().connection_budget;
            serve_only_ = Settings().serve_only;
        }
        statistics_.Start(download_limit_kib_, upload_limit_kib_);
        driver_ = MakeTaskPeers(*this, statistics_);
        last_snapshot_ms_ = Context().GetClock().TickMs();
    }
    return *driver_;
}

void TWorkWithTransStatis::RefreshSources() {
    TWorkWithPeers::RefreshSources();
    // Servers added through the interface (the server list) join through the
    // peers' server balancing.
    Driver().AddSources(candidates_);
}

void TWorkWithTransStatis::PeerPass() {
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

void TWorkWithTransStatis::FourSecondPass() {
    if (!driver_) return;
    const uint64_t now_ms = Context().GetClock().TickMs();
    driver_->RateSnapshot(now_ms - last_snapshot_ms_);
    last_snapshot_ms_ = now_ms;
    driver_->CandidateCleanUp();
}

void TWorkWithTransStatis::ApplyPendingChanges() {
    TWorkWithPieces::ApplyPendingChanges();
    download_limit_kib_ = Settings().download_limit_kib;
    upload_limit_kib_ = Settings().upload_limit_kib;
    connections_per_server_ = Settings().connections_per_server;
    connection_budget_ = Settings().connection_budget;
    serve_only_ = Settings().serve_only;
}

void TWorkWithTransStatis::WaitBetweenSteps(uint32_t ms) {
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
    if (!driver_ || idle_wake || (!seeding && statistics_.DownloadAllowance() <= 0) ||
        (seeding && (!ViewP2P() || statistics_.UploadAllowance() == 0))) {
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

void TWorkWithTransStatis::OnPieceEvent(int32_t kind, int32_t flag, int64_t size, int64_t value) {
    if (kind == kNoticePieceChecked) {
        if (driver_ && value >= 0 && value <= INT32_MAX) driver_->PieceChecked(static_cast<int32_t>(value), flag != 0);
        return;
    }
    TWorkWithPieces::OnPieceEvent(kind, flag, size, value);
}

void TWorkWithTransStatis::Deactivate() {
    if (driver_) driver_->CloseAll();
}

void TWorkWithTransStatis::StatisticsPass(uint64_t) {
    if (driver_) {
        StatisticsPassInput input;
        input.complete = figures_.piece_count > 0 && figures_.finished_pieces >= figures_.piece_count;
        input.piece_length = figures_.piece_count > 0 && PieceMap() ? PieceMap()->PieceLength() : 0;
        input.piece_count = figures_.piece_count;
        input.finished_pieces = figures_.finished_pieces;
        input.completion_time = live_.completion_time;
        input.download_limit_kib = download_limit_kib_;
        input.upload_limit_kib = upload_limit_kib_;
        statistics_.Pass(input);
        current_speed_ = statistics_.CurrentDownloadSpeed();
        time_remaining_ = statistics_.TimeRemaining();
        live_.average_download_speed = statistics_.AverageDownloadSpeed();
        live_.average_upload_speed = statistics_.AverageUploadSpeed();
        // The loop's pause follows the rate: 2 ms above 3 MiB/s, 6 ms when slow.
        loop_sleep_ms_ = statistics_.Pace().loop_sleep_ms;
        // The connection budget grows with the rates (52 for a slow task).
        connection_budget_ = statistics_.ConnectionBudgetFigure();
        ScopedLock guard(Lock());
        Settings().connection_budget = connection_budget_;
    }
    live_.http_bytes = http_bytes_;
    live_.peer_bytes = peer_bytes_;
    live_.downloaded_total = http_bytes_ + peer_bytes_;
    live_.uploaded_total = uploaded_bytes_;
    if (driver_) {
        TaskPeerFigures f;
        f.peers = driver_->ConnectedPeers();
        f.seeds = driver_->ConnectedSeeds();
        f.upload_speed = statistics_.AverageUploadSpeed();
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
    live_.current_speed = current_speed_;
    live_.time_remaining = time_remaining_;
    NoteDataSecond();
    SchedulingSecond();
    per_second_flag_ = true;
}

void TWorkWithTransStatis::AnnounceHaves() {
    // Completed pieces are announced in batches to the BitTorrent peers; the
    // batch is taken (and its pieces cleared) whether or not any are connected.
    for (const std::vector<uint8_t>& buffer : TakeHaveBatch(GetClock().TickMs()))
        if (driver_) driver_->SendToBitTorrentPeers(buffer.data(), buffer.size());
}

TaskPeerFigures TWorkWithTransStatis::PeerFigures() {
    std::lock_guard guard(figures_mutex_);
    return peer_figures_;
}

void TWorkWithTransStatis::NoteDataSecond() {
    // Any task type counts seconds without payload once it has a source, so
    // a task whose sources all fail gives up after the no-data limit instead
    // of running forever. A torrent task without sources waits for peers.
    if (!driver_ || !driver_->HadCandidates()) return;
    const uint32_t uptime = Context().UptimeSeconds();
    const uint64_t payload = http_bytes_ + peer_bytes_;
    if (!data_clock_started_ || payload != payload_at_last_data_) {
        data_clock_started_ = true;
        payload_at_last_data_ = payload;
        last_data_uptime_ = uptime;
    }
}

uint32_t TWorkWithTransStatis::SecondsWithoutData() {
    // Serving only, no data is expected.
    if (!data_clock_started_ || serve_only_) return 0;
    const uint32_t uptime = Context().UptimeSeconds();
    return uptime >= last_data_uptime_ ? uptime - last_data_uptime_ : 0;
}

void TWorkWithTransStatis::Reset(ResetScope scope) {
    // Peers go before the piece map they write into.
    driver_.reset();
    ForgetNetwork();
    http_bytes_ = peer_bytes_ = uploaded_bytes_ = 0;
    current_speed_ = 0;
    time_remaining_ = 0;
    per_second_flag_ = false;
    data_clock_started_ = false;
    payload_at_last_data_ = 0;
    last_data_uptime_ = 0;
    TWorkWithPieces::Reset(scope);
}

// --- the piece map as the peers see it -------------------------------------------

Clock& TWorkWithTransStatis::ViewClock() { return Context().GetClock(); }

uint64_t TWorkWithTransStatis::ViewSeconds() { return Context().ClockSeconds(); }

BufferPool* TWorkWithTransStatis::ViewSocketPool() { return &Context().Pools().socket_buffer; }

IStreamTransport* TWorkWithTransStatis::ViewStreamTransport() { return Context().StreamTransport(); }

bool TWorkWithTransStatis::ViewAddressBlocked(uint32_t address) { return TaskIpFilter().IsBlocked(address); }

ServerListView TWorkWithTransStatis::ViewServerList() {
    ScopedLock guard(Lock());
    ServerListView view;
    view.server_mode = ServerMode();
    view.urls = ServerUrls();
    view.hosts = ServerHosts();
    return view;
}

void TWorkWithTransStatis::ViewHostUnresolved() {
    ScopedLock guard(Lock());
    live_.status = STATUS_HOST_UNRESOLVED;
    Publish(PublishScope::kStatusAndSnapshots, LockWait::kWait);
}

bool TWorkWithTransStatis::MapReady() { return IsMetainfoReady() && PieceMap() != nullptr; }

BlockInfo TWorkWithTransStatis::MapGeometry() { return PieceMap()->Geometry(); }

bool TWorkWithTransStatis::MapPieceNeeded(int32_t piece) {
    if (serve_only_) return false;
    TPieces* map = PieceMap();
    // A piece whose hash is being checked has every block: nobody fetches it
    // unless it fails (the data still counts as missing until it matched).
    const PieceInProgress& p = map->Piece(piece);
    return map->Wanted(piece) && !p.complete && !p.hashing;
}

int64_t TWorkWithTransStatis::MapNeededPieces() { return PieceMap()->NeededPieces(); }

bool TWorkWithTransStatis::MapBlockPresent(int32_t piece, int64_t offset) {
    TPieces* map = PieceMap();
    if (!map->PieceValid(piece)) return false;
    if (map->Have(piece)) return true;
    const PieceInProgress& p = map->Piece(piece);
    if (p.complete || offset < p.written) return true;
    if (offset < 0 || offset >= p.size) return false;
    return p.blocks.Initialised() && p.blocks.HasBlock(static_cast<int32_t>(offset));
}

uint8_t* TWorkWithTransStatis::MapBlockBuffer(int32_t piece, int64_t offset, int32_t length) {
    TPieces* map = PieceMap();
    return map ? map->BlockBuffer(piece, offset, length) : nullptr;
}

BlockWriteResult TWorkWithTransStatis::ReceivePieceBlock(int32_t piece, int64_t offset, int32_t length,
                                                         const uint8_t* data) {
    return PieceMap()->ReceiveBlock(piece, data, length, offset);
}

}  // namespace zl
