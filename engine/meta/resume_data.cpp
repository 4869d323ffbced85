// Resume data (have-bits, files' sizes and times, the SHA-1 state of partly
// written pieces) and the file selection list, both bencoded.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/meta/adler32.h"
#include "engine/meta/bencode.h"
#include "engine/meta/pieces.h"

namespace zl {
namespace {

bool IsText(const QElement* e, std::string_view text) { return e && e->IsString() && e->GetBytes() == text; }

}  // namespace

void TPieces::WriteResumeData() {
    if (!host_ || geometry_.piece_count() <= 0) return;
    if (AllFinished() && (AnyUnsynced() || flusher_.Busy())) {
        // A complete download is not held up by the disk: its resume data is
        // of no use (the task removes it) and would trust unflushed pieces,
        // so there is none. A later start checks what is on disk.
        SettleFlush(true);
        ProduceResumeData(std::string());
        return;
    }
    // What the data below names must be on disk first. When it cannot be made
    // so, the resume data saved before stays (it names only durable pieces).
    if (!MakeDurable()) return;
    ProduceResumeData(BuildResumeData());
}

void TPieces::ProduceResumeData(const std::string& bytes) {
    Notice(kNoticeResumeData, 1, 0, 0, nullptr);
    if (bytes.empty()) return;
    resume_data_ = bytes;
    Notice(kNoticeResumeData, 1, int32_t(bytes.size()), 0, reinterpret_cast<const uint8_t*>(bytes.data()));
}

std::string TPieces::BuildResumeData() {
    auto dict = NewDictionary();
    dict->AppendString("infohash");
    dict->AppendString(std::string_view(reinterpret_cast<const char*>(info_hash_.data()), info_hash_.size()));
    int files_written = 0;
    for (auto& holder : files_) {
        FileEntry& f = *holder;
        if (f.padding) continue;  // nothing on disk to describe
        if (f.path.empty()) break;
        uint64_t filetime = 0;
        int64_t size = -1;
        TargetFile probe;
        if (probe.Open(fs_, f.path, TargetFile::Mode::ReadOnly)) {
            if (!probe.WriteTime(&filetime)) break;
            size = probe.Size();
        }
        dict->AppendString(f.path);
        dict->AppendString("Low", int64_t(filetime & 0xffffffffu));
        dict->AppendString("High", int64_t(filetime >> 32));
        dict->AppendString("Size", size, true);
        dict->AppendString("Priority", f.priority);
        ++files_written;
    }
    if (files_written > 0) {
        dict->AppendString("PieceStatus");
        auto list = NewList();
        for (auto& holder : pieces_) {
            PieceInProgress& p = *holder;
            if (Have(p.index) || p.written <= 0 || !p.Hash()) continue;
            QDictionaryElement* d = list->AddDictionary();
            uint8_t state[kSha1ContextSize];
            Sha1ContextStore(*p.Hash(), state);
            d->AppendString("Index", p.index);
            d->AppendString("Part", p.written);
            d->AppendString("Status");
            d->AppendString(std::string_view(reinterpret_cast<const char*>(state), sizeof state));
            d->AppendString("CRC32", int64_t(Adler32(uint32_t(p.index), state, sizeof state)));
        }
        dict->Append(std::move(list));
    }
    dict->AppendString("BitField");
    dict->AppendString(std::string_view(reinterpret_cast<const char*>(bitfield_.data()), bitfield_.size()));
    return Encode(*dict);
}

bool TPieces::ReadResumeData() {
    if (!options_.resume_enabled || files_.empty() || geometry_.piece_count() <= 0 || resume_data_.empty()) return false;
    std::unique_ptr<QElement> root = ParseElement(resume_data_);
    if (!root || !root->IsDictionary()) return false;
    const auto& children = root->AsDictionary()->Children();
    auto next_of = [&](const QElement* e) { return e ? root->NextSibling(e) : nullptr; };

    // 1. The torrent.
    const QElement* key = root->FindChild("infohash");
    if (key) {
        const QElement* value = next_of(key);
        if (value && value->IsString() && value->GetLength() == 20 &&
            std::memcmp(value->GetBytes().data(), info_hash_.data(), 20) != 0)
            return false;
    }
    // 2. Every file must be as it was when the data was written.
    // Each file's size on disk (-1 absent), kept for the have-bits below; a
    // file not looked at (padding, no path) limits nothing.
    constexpr int64_t kNotProbed = INT64_MAX;
    std::vector<int64_t> on_disk(files_.size(), kNotProbed);
    for (auto& holder : files_) {
        FileEntry& f = *holder;
        if (f.padding) continue;
        if (f.path.empty()) break;
        const QElement* entry = nullptr;
        for (const auto& c : children)
            if (IsText(c.get(), f.path) && !c->HasInteger()) {
                entry = c.get();
                break;
            }
        if (!entry && f.temp_name)
            for (const auto& c : children)
                if (IsText(c.get(), f.final_path) && !c->HasInteger()) {
                    entry = c.get();
                    break;
                }
        const QElement* low = next_of(entry);
        const QElement* high = next_of(low);
        const QElement* size = next_of(high);
        if (!entry || !IsText(low, "Low") || !IsText(high, "High") || !IsText(size, "Size")) return false;
        const QElement* priority = next_of(size);
        if (info_loaded_ && IsText(priority, "Priority") && !f.Unwanted()) {
            const int64_t value = priority->GetInteger();
            if (value >= -2 && value <= 2) f.priority = int32_t(value);
        }
        const bool no_time = low->GetInteger() == 0 && high->GetInteger() == 0;
        TargetFile probe;
        const bool opens = probe.Open(fs_, f.path, TargetFile::Mode::ReadOnly);
        const int64_t current = opens ? probe.Size() : -1;
        on_disk[size_t(f.index)] = current;
        if (opens && no_time) return false;
        if ((opens || no_time) && current != size->GetInteger()) return false;
        if (!opens && !no_time) return false;
    }
    // 3. The have-bits.
    const QElement* bits = nullptr;
    for (const auto& c : children)
        if (IsText(c.get(), "BitField") && !c->HasInteger()) bits = next_of(c.get());
    if (!bits || !bits->IsString() || size_t(bits->GetLength()) != bitfield_.size()) return false;
    const std::string_view bit_bytes = bits->GetBytes();
    auto bit = [&](int32_t i) { return ((uint8_t(bit_bytes[size_t(i / 8)]) >> (7 - i % 8)) & 1) != 0; };
    // Whether the first `length` bytes of a piece lie inside the files as they
    // are on disk (a file removed or cut after its pieces were saved is
    // recorded as it is found, so the checks above pass).
    auto stored = [&](int32_t piece, int64_t length) {
        bool present = true;
        file_map_.ForEachSpan(piece, 0, length, [&](const FilePieceMap::Span& span) {
            const FileEntry& f = *files_[size_t(span.file)];
            if (span.padding || f.Unwanted()) return true;
            present = on_disk[size_t(span.file)] >= span.file_offset + span.length;
            return present;
        });
        return present;
    };
    // A had piece's bytes must be on disk: otherwise the data is unusable, and a full check follows.
    for (int32_t i = 0; i < geometry_.piece_count(); ++i)
        if (bit(i) && !stored(i, geometry_.PieceSize(i))) return false;
    for (int32_t i = 0; i < geometry_.piece_count(); ++i) SetPieceHave(i, bit(i));
    // 4. Partly written pieces continue from their stored SHA-1 state.
    const QElement* status_key = nullptr;
    for (const auto& c : children)
        if (IsText(c.get(), "PieceStatus") && !c->HasInteger()) status_key = c.get();
    const QElement* status_list = next_of(status_key);
    if (status_list && status_list->IsList()) {
        for (const auto& item : status_list->AsList()->Children()) {
            if (!item->IsDictionary() || item->ChildCount() < 5) continue;
            const QElement* index_e = item->ChildAt(0);
            const QElement* part_e = item->ChildAt(1);
            const QElement* status_e = item->ChildAt(2);
            const QElement* state_e = item->ChildAt(3);
            if (!IsText(index_e, "Index") || !IsText(part_e, "Part") || !IsText(status_e, "Status")) continue;
            if (!state_e || !state_e->IsString() || state_e->GetLength() < int64_t(kSha1ContextSize)) continue;
            const QElement* crc_e = nullptr;
            for (const auto& c : item->AsDictionary()->Children())
                if (IsText(c.get(), "CRC32")) crc_e = c.get();
            const int64_t index = index_e->GetInteger();
            if (!crc_e || index < 0 || index >= geometry_.piece_count() || Have(int32_t(index))) continue;
            const auto* state = reinterpret_cast<const uint8_t*>(state_e->GetBytes().data());
            if (crc_e->GetInteger() != int64_t(Adler32(uint32_t(index), state, kSha1ContextSize))) continue;
            PieceInProgress& p = *pieces_[size_t(index)];
            const int64_t part = part_e->GetInteger();
            const int32_t chunk = std::min<int32_t>(p.size, BlockStore::kMaxChunk);
            // Only whole chunks strictly inside the piece: anything else is not ours.
            if (part <= 0 || part >= p.size || part % chunk != 0 || !info_loaded_) continue;
            // The state stands for those bytes on disk, never read again.
            if (!stored(int32_t(index), part)) continue;
            PooledBuffer hash(pools_.hash_state, 108);
            if (!hash || !Sha1ContextLoad(state, kSha1ContextSize, reinterpret_cast<SHA1Context*>(hash.data()))) continue;
            // The state must cover exactly the bytes on disk.
            const SHA1Context* ctx = reinterpret_cast<const SHA1Context*>(hash.data());
            const uint64_t bits_hashed = (uint64_t(ctx->length_high) << 32) | ctx->length_low;
            if (bits_hashed != uint64_t(part) * 8 || ctx->computed != 0 || ctx->corrupted != 0) continue;
            p.hash = std::move(hash);
            p.written = int32_t(part);
            MarkPartial(p.index);
        }
    }
    // 5.
    checked_bytes_ = geometry_.total_size();
    if (verified_bytes_ <= geometry_.total_size()) {
        LoadPieceCache();
        Notice(kNoticeStateEstablished, 1);
    }
    return true;
}

void TPieces::ExportSelection() {
    auto list = NewList();
    for (auto& f : files_) {
        list->AppendString(f->relative_name, f->Unwanted() ? 1 : 0);
        list->AddDictionary();
    }
    const std::string bytes = Encode(*list);
    if (bytes.empty()) return;
    selection_ = bytes;
    Notice(kNoticeSelection, 1, int32_t(bytes.size()), 0, reinterpret_cast<const uint8_t*>(bytes.data()));
}

void TPieces::ImportSelection() {
    std::vector<int32_t> wanted;
    bool any_flagged = false;
    if (!selection_.empty()) {
        std::unique_ptr<QElement> root = ParseElement(selection_);
        if (root && root->IsList()) {
            const auto& children = root->AsList()->Children();
            for (size_t i = 0; i < children.size(); i += 2) {
                const QElement* name = children[i].get();
                if (!name->IsString() || name->GetInteger() == 0) continue;
                const std::string text = ConvertedText(*name);
                for (auto& f : files_)
                    if (f->relative_name == text) {
                        wanted.push_back(f->index);
                        any_flagged = true;
                    }
            }
        }
    }
    if (!any_flagged) {
        for (auto& f : files_) SetFileWanted(f->index, true);
        return;
    }
    // The flags mark the unwanted files.
    for (int32_t i : wanted) SetFileWanted(i, false);
}

}  // namespace zl
