// Reads arbitrary text as a task link text: a refusal must say why; a text
// that is read must describe a task the storage can hold, and written back it
// must read as the same task.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/meta/block_info.h"
#include "engine/meta/link_text.h"
#include "engine/meta/torrent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<zl::LinkText> link = zl::ParseLinkText(text, &error);
    if (!link) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (!zl::LooksLikeLinkText(text) || link->size <= 0 || link->piece_length <= 0 ||
        link->piece_length % 16384 != 0 || zl::BlockInfo(link->size, link->piece_length).empty())
        std::abort();
    const std::optional<zl::LinkText> again = zl::ParseLinkText(zl::FormatLinkText(*link));
    if (!again || again->info_hash != link->info_hash || again->size != link->size ||
        again->piece_length != link->piece_length)
        std::abort();
    // The torrent object takes the same text.
    auto t = zl::RefPtr<zl::TTorrent>::Adopt(new zl::TTorrent());
    if (!t->LoadLinkText(text) || t->Info().total_size != link->size || t->HexInfoHash().size() != 40) std::abort();
    return 0;
}
