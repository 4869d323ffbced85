#include "engine/core/task_work_with_pieces.h"

#include <algorithm>
#include <cstring>

#include "engine/core/engine_codes.h"
#include "engine/core/engine_context.h"

namespace zl {

TWorkWithPieces::TWorkWithPieces(EngineContext& context) : TWorkWithPeers(context) {}

int32_t TWorkWithPieces::GetBitfieldSize() {
    ScopedLock guard(Lock());
    return static_cast<int32_t>(bitfield_.size());
}

int32_t TWorkWithPieces::GetBitfield(uint8_t* buffer, int32_t size) {
    if (!buffer || size <= 0) return 0;
    ScopedLock guard(Lock());
    const size_t bytes = bitfield_.size();
    std::memcpy(buffer, bitfield_.data(), std::min(bytes, static_cast<size_t>(size)));
    const int64_t bits = static_cast<int64_t>(bytes) * 8;
    return static_cast<int32_t>(std::min<int64_t>(bits, bitfield_pieces_));
}

void TWorkWithPieces::OnPieceEvent(int32_t kind, int32_t, int64_t, int64_t) {
    if (kind == kPieceEventDiskFull || kind == kPieceEventWriteFailed) {
        live_.status = kind == kPieceEventDiskFull ? STATUS_DISK_FULL : STATUS_WRITE_FAILED;
        disk_trouble_ = true;
        RequestStop();
    } else if (kind == kPieceEventDiskRecovered) {
        disk_trouble_ = false;
    }
}

bool TWorkWithPieces::BuildMetainfo() {
    std::shared_ptr<MetainfoParser> parser = Context().Parser();
    std::string torrent;
    {
        ScopedLock guard(Lock());
        torrent = Blobs().value[ResumeBlobs::kTorrent];
    }
    ParsedMetainfo parsed;
    if (!parser || torrent.empty() || !parser->Parse(torrent, parsed)) return false;
    if (parsed.piece_count < 0) return false;
    {
        ScopedLock guard(Lock());
        NormaliseTaskSettings(Settings());
    }
    metainfo_ = parsed;
    live_.name = parsed.name;
    live_.comment = parsed.comment;
    live_.announce = parsed.announce;
    live_.info_hash = parsed.info_hash_hex;
    live_.total_size = parsed.total_size;
    live_.piece_length = parsed.piece_length;
    live_.piece_count = parsed.piece_count;
    figures_ = PieceFigures{};
    figures_.piece_count = parsed.piece_count;
    figures_.wanted_pieces = parsed.piece_count;
    figures_.wanted_size = parsed.total_size;
    {
        ScopedLock guard(Lock());
        bitfield_.assign((static_cast<size_t>(parsed.piece_count) + 7) / 8, 0);
        bitfield_pieces_ = parsed.piece_count;
    }
    metainfo_ready_ = true;
    return true;
}

void TWorkWithPieces::Refresh() {
    live_.piece_count = figures_.piece_count;
    live_.finished_pieces = figures_.finished_pieces;
    live_.wanted_pieces = figures_.wanted_pieces;
    live_.downloaded = figures_.downloaded;
    live_.wanted_size = figures_.wanted_size;
    live_.checked = figures_.checked;
    live_.memory_cache_bytes = figures_.memory_cache_bytes;
    if (live_.checked != live_.total_size) Publish(false, false);
}

void TWorkWithPieces::Reset(bool full, bool b) {
    if (IsMetainfoReady()) {
        ClosePieceFiles();
        FlushPieceMap();
    }
    {
        ScopedLock guard(Lock());
        bitfield_.clear();
        bitfield_pieces_ = 0;
    }
    metainfo_ = ParsedMetainfo{};
    figures_ = PieceFigures{};
    metainfo_ready_ = false;
    TWorkWithPeers::Reset(full, b);
}

}  // namespace zl
