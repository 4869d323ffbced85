#include "engine/meta/storage_layout_info.h"

#include "engine/meta/bencode.h"

namespace zl {
namespace {

std::optional<StorageLayout> Fail(std::string* error, const char* text) {
    if (error) *error = text;
    return std::nullopt;
}

}  // namespace

std::optional<StorageLayout> LayoutFromInfo(const QElement& info, std::string* error) {
    const QDictionaryElement* dict = info.AsDictionary();
    if (!dict) return Fail(error, "the info is not a dictionary");
    StorageLayout layout;
    if (const QElement* name = dict->FindValue("name"); name && name->IsString()) layout.name = ConvertedText(*name);
    const std::optional<int64_t> piece_length = dict->IntegerOf("piece length");
    if (!piece_length || *piece_length <= 0) return Fail(error, "no valid \"piece length\"");
    layout.piece_length = *piece_length;
    const std::optional<std::string_view> pieces = dict->BytesOf("pieces");
    if (!pieces || pieces->size() < 20 || pieces->size() % 20 != 0) return Fail(error, "no valid \"pieces\"");
    layout.piece_hashes.assign(*pieces);
    if (const std::optional<int64_t> length = dict->IntegerOf("length")) {
        layout.single_file = true;
        layout.files.push_back({{layout.name}, *length});
        return layout;
    }
    layout.single_file = false;
    const QListElement* files = dict->ListOf("files");
    if (!files || files->ChildCount() == 0) return Fail(error, "no \"length\" and no \"files\"");
    for (const auto& child : files->Children()) {
        const QDictionaryElement* file = child->AsDictionary();
        if (!file || file->ChildCount() == 0) break;
        const std::optional<int64_t> length = file->IntegerOf("length");
        const QListElement* path = file->ListOf("path");
        if (!length || !path || path->ChildCount() == 0 || *length < 0) break;
        StorageFileSpec spec;
        spec.size = *length;
        for (const auto& part : path->Children()) {
            if (!part->IsString()) return Fail(error, "a path component is not a string");
            spec.components.push_back(ConvertedText(*part));
        }
        layout.files.push_back(std::move(spec));
    }
    if (layout.files.empty()) return Fail(error, "no usable file in \"files\"");
    return layout;
}

StorageLayout LayoutFromTorrentInfo(const TorrentInfo& info) {
    StorageLayout layout;
    layout.name = info.name;
    layout.single_file = info.single_file;
    layout.piece_length = info.piece_length;
    layout.piece_hashes = info.piece_hashes;
    layout.info_hash = info.info_hash;
    for (const TorrentFile& f : info.files) layout.files.push_back({f.components, f.size});
    return layout;
}

std::optional<StorageLayout> LayoutFromTorrent(std::string_view torrent, std::string* error) {
    std::unique_ptr<QElement> root = ParseElement(torrent);
    if (!root || !root->IsDictionary()) return Fail(error, "not a bencoded dictionary");
    const QElement* info = root->FindValue("info");
    if (!info || !info->IsDictionary()) return Fail(error, "no \"info\" dictionary");
    std::optional<StorageLayout> layout = LayoutFromInfo(*info, error);
    if (!layout) return layout;
    const uint8_t* source = info->GetSource();
    const int64_t length = info->GetEncodedLength();
    if (!source || length <= 0 || source < reinterpret_cast<const uint8_t*>(torrent.data()) ||
        source + length > reinterpret_cast<const uint8_t*>(torrent.data()) + torrent.size())
        return Fail(error, "the info dictionary's bytes are unknown");
    layout->info_hash = Sha1Of(source, size_t(length));
    return layout;
}

}  // namespace zl
