// A task whose metainfo is a task link text: the info hash, size, piece
// length and tracker come from the text, the piece map holds one file whose
// pieces are accepted without hashing.
#include <string>

#include "engine/base/engine_log.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/task/task_work_with_pieces.h"

namespace zl {

bool TWorkWithPieces::BuildLinkTextMetainfo(const std::string& text) {
    RefPtr<TTorrent> loaded = RefPtr<TTorrent>::Adopt(new TTorrent());
    if (!loaded->LoadLinkText(text)) {
        LogWrite("task link text refused: " + loaded->ErrorMessage(), kLogTaskLifecycle, kLogTaskLifecycle);
        live_.status = STATUS_METAINFO_FAILED;
        RequestStop();
        return false;
    }
    const TorrentInfo& info = loaded->Info();
    ParsedMetainfo parsed;
    parsed.announce = loaded->Announce();
    parsed.info_hash_hex = loaded->HexInfoHash();
    parsed.total_size = static_cast<uint64_t>(info.total_size);
    parsed.piece_length = static_cast<int32_t>(info.piece_length);
    parsed.piece_count = static_cast<int32_t>(info.piece_count);
    TakeMetainfo(parsed);
    if (!BuildPieceMap(*loaded)) return false;
    torrent_ = loaded;
    metainfo_ready_ = true;
    return true;
}

}  // namespace zl
