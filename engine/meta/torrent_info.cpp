#include "engine/meta/torrent_info.h"

#include <set>

#include "engine/meta/bencode.h"

namespace zl {

int64_t TorrentInfo::PieceSize(int64_t index) const {
    if (index < 0 || index >= piece_count) return 0;
    if (index + 1 < piece_count) return piece_length;
    return total_size - piece_length * (piece_count - 1);
}

const uint8_t* TorrentInfo::PieceHash(int64_t index) const {
    if (index < 0 || index >= piece_count) return nullptr;
    if (int64_t(piece_hashes.size()) < (index + 1) * int64_t(kSha1DigestSize)) return nullptr;
    return reinterpret_cast<const uint8_t*>(piece_hashes.data()) + index * int64_t(kSha1DigestSize);
}

bool IsSafePathComponent(std::string_view c) {
    if (c.empty() || c == "." || c == "..") return false;
    for (char ch : c)
        if (ch == '/' || ch == '\\' || ch == '\0') return false;
    return true;
}

namespace {

bool Fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

// A size-like integer key; false when absent, not an integer or negative.
bool ReadSize(const QDictionaryElement& d, std::string_view key, int64_t* out) {
    const auto v = d.IntegerOf(key);
    if (!v || *v < 0) return false;
    *out = *v;
    return true;
}

// The "attr" letters of a file entry (or of a single-file info), "" when absent.
std::string AttrOf(const QDictionaryElement& d) {
    const QElement* attr = d.FindValue("attr");
    if (!attr || !attr->IsString() || attr->HasInteger()) return {};
    return std::string(attr->GetBytes());
}

std::string Printable(std::string_view s) {
    std::string out;
    for (unsigned char c : s.substr(0, 80)) out.push_back(c >= 0x20 && c < 0x7f ? char(c) : '?');
    return out;
}

}  // namespace

bool ReadTorrentInfo(const QDictionaryElement& info, TorrentInfo* out, std::string* error) {
    TorrentInfo t;
    const QElement* name = info.FindValue("name");
    if (!name || !name->IsString() || name->HasInteger() || name->GetLength() <= 0)
        return Fail(error, "the info dictionary has no name");
    t.name = ConvertedText(*name);
    if (t.name.empty()) return Fail(error, "the torrent's name cannot be converted from its code page");
    if (!IsSafePathComponent(t.name)) return Fail(error, "unsafe torrent name \"" + Printable(t.name) + "\"");

    const auto piece_length = info.IntegerOf("piece length");
    if (!piece_length) return Fail(error, "the info dictionary has no piece length");
    if (*piece_length <= 0 || *piece_length % kTorrentBlockSize != 0 || *piece_length > kMaxTorrentPieceLength)
        return Fail(error, "piece length " + std::to_string(*piece_length) +
                               " is not a positive multiple of 16384 up to 64 MiB");
    t.piece_length = *piece_length;

    const auto pieces = info.BytesOf("pieces");
    if (!pieces || pieces->empty() || pieces->size() % kSha1DigestSize != 0)
        return Fail(error, "the piece hashes are missing or not a whole number of 20-byte hashes");
    t.piece_hashes.assign(pieces->data(), pieces->size());
    t.piece_count = int64_t(pieces->size() / kSha1DigestSize);

    const QListElement* files = info.ListOf("files");
    if (files) {
        t.single_file = false;
        if (files->ChildCount() == 0) return Fail(error, "the file list is empty");
        std::set<std::string> seen;
        for (int64_t i = 0; i < files->ChildCount(); ++i) {
            const QDictionaryElement* f = files->ChildAt(i)->AsDictionary();
            const std::string which = "file " + std::to_string(i);
            if (!f) return Fail(error, which + " is not a dictionary");
            TorrentFile file;
            if (!ReadSize(*f, "length", &file.size)) return Fail(error, which + " has no valid length");
            const QListElement* path = f->ListOf("path");
            if (!path || path->ChildCount() == 0) return Fail(error, which + " has no path");
            for (int64_t k = 0; k < path->ChildCount(); ++k) {
                const QElement* part = path->ChildAt(k);
                if (!part->IsString() || part->HasInteger()) return Fail(error, which + " has a malformed path");
                std::string component = ConvertedText(*part);
                if (!IsSafePathComponent(component))
                    return Fail(error, which + " has an unsafe path component \"" + Printable(component) + "\"");
                if (!file.path.empty()) file.path += '/';
                file.path += component;
                file.components.push_back(std::move(component));
            }
            file.attr = AttrOf(*f);
            file.padding = file.attr.find('p') != std::string::npos;
            // Padding entries may share a name (".pad/16384"): nothing is stored under it.
            if (!file.padding && !seen.insert(file.path).second)
                return Fail(error, which + " repeats the path \"" + Printable(file.path) + "\"");
            if (file.size > INT64_MAX - t.total_size) return Fail(error, "the file sizes overflow");
            file.offset = t.total_size;
            t.total_size += file.size;
            t.files.push_back(std::move(file));
        }
    } else {
        TorrentFile file;
        if (!ReadSize(info, "length", &file.size) || file.size == 0)
            return Fail(error, "the info dictionary has neither a file list nor a positive length");
        file.components.push_back(t.name);
        file.path = t.name;
        file.attr = AttrOf(info);  // a lone file is never padding
        t.total_size = file.size;
        t.files.push_back(std::move(file));
    }
    if (t.total_size <= 0) return Fail(error, "the torrent holds no data");
    const int64_t expected = (t.total_size - 1) / t.piece_length + 1;
    if (expected != t.piece_count)
        return Fail(error, std::to_string(t.piece_count) + " piece hashes for " + std::to_string(t.total_size) +
                               " bytes in pieces of " + std::to_string(t.piece_length) + " (expected " +
                               std::to_string(expected) + ")");
    if (t.piece_count > INT32_MAX) return Fail(error, "too many pieces");
    *out = std::move(t);
    return true;
}

}  // namespace zl
