#include "engine/meta/pieces.h"

#include <algorithm>
#include <cstring>

#include "engine/meta/atomic_file.h"

namespace zl {
namespace {

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    if (tail.size() > text.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        const unsigned char a = text[text.size() - tail.size() + i], b = tail[i];
        if (std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
}

}  // namespace

TPieces::TPieces(PiecesHost* host, QTMutex& disk_lock, Clock& clock, DiskSpaceProbe* probe, BufferPools* pools,
                 FileSystem* fs)
    : host_(host),
      disk_lock_(disk_lock),
      clock_(clock),
      probe_(probe ? *probe : DefaultDiskSpaceProbe()),
      pools_(pools ? *pools : SharedBufferPools()),
      fs_(fs ? *fs : RealFileSystem()),
      flusher_(fs_) {
    created_at_ = Now();
    last_trim_ = created_at_;
}

TPieces::~TPieces() { Clear(); }

void TPieces::SetSaveDirectory(const std::string& dir) {
    save_dir_ = dir;
    if (!save_dir_.empty() && save_dir_.back() != '/') save_dir_ += '/';
}

void TPieces::SetOptions(const StorageOptions& options) {
    options_ = options;
    if (options_.cache_units < 1) options_.cache_units = 1;
    options_.hash_threads = std::clamp(options_.hash_threads, 0, 8);
    if (options_.hash_threads == 0) {
        FinishHashing();
        hashers_.reset();
    } else if (!hashers_) {
        hashers_ = std::make_unique<HashWorkers>(options_.hash_threads);
    }
}

void TPieces::SetCacheUnits(int32_t units) { options_.cache_units = std::clamp(units, 4, 8000); }

int64_t TPieces::MemoryCacheSize() const {
    const int64_t units = options_.cache_units;
    return units >= 1 && units <= 8000 ? units * 256 * 1024 : 256 * 1024;
}

void TPieces::Notice(int32_t kind, int32_t flag, int32_t size, int64_t value, const uint8_t* data) {
    if (!host_) return;
    PieceNotice n;
    n.kind = kind;
    n.flag = flag;
    n.size = size;
    n.value = value;
    n.data = data;
    host_->OnPieceNotice(n);
}

uint8_t* TPieces::Scratch() {
    if (!scratch_) scratch_.reset(new uint8_t[size_t(geometry_.piece_length())]);
    return scratch_.get();
}

int32_t TPieces::PieceSize(int32_t index) const { return static_cast<int32_t>(geometry_.PieceSize(index)); }

void TPieces::Clear() {
    SettleFlush(true);
    if (!files_.empty()) ExportSelection();
    CloseFiles();
    for (auto& p : pieces_) ReleasePiece(*p);
    files_.clear();
    pieces_.clear();
    partial_.clear();
    bitfield_.clear();
    piece_hashes_.clear();
    name_.clear();
    scratch_.reset();
    geometry_ = BlockInfo();
    file_map_ = FilePieceMap();
    checked_bytes_ = verified_bytes_ = wanted_bytes_ = wanted_pieces_ = 0;
    finished_pieces_ = 0;
    complete_not_had_ = 0;
    memory_cache_bytes_ = complete_in_memory_ = 0;
    last_completed_ = -1;
    check_progress_ = 0;
    info_loaded_ = false;
}

bool TPieces::LoadLayout(const StorageLayout& layout, TPieces* previous) {
    Clear();
    previous_ = previous != this ? previous : nullptr;
    info_loaded_ = !layout.piece_hashes.empty();
    info_hash_ = layout.info_hash;
    const bool ok = [&] {
        // Whole blocks only, and bounded: every buffer of a few pieces stays sane.
        if (!BlockInfo::IsAligned(layout.piece_length) || layout.piece_length == 0 ||
            layout.piece_length > kMaxPieceLength)
            return false;
        const int64_t piece_length = layout.piece_length;
        int64_t total_size = 0;
        if (info_loaded_ && (layout.piece_hashes.size() < 20 || layout.piece_hashes.size() % 20 != 0)) return false;
        piece_hashes_ = layout.piece_hashes;
        if (save_dir_.empty()) save_dir_ = "./";
        name_ = layout.name;
        if (layout.single_file) {
            // A link text has no name: its file is named by the layout alone.
            std::string file_name = name_;
            if (file_name.empty() && layout.files.size() == 1 && !layout.files[0].components.empty())
                file_name = layout.files[0].components.back();
            if (file_name.empty()) file_name = name_ = "strRecommend";
            if (!IsSafeStorageComponent(file_name) || layout.files.size() != 1 || layout.files[0].size <= 0) return false;
            auto entry = std::make_unique<FileEntry>();
            const std::string target = host_ ? host_->ExplicitTargetPath() : std::string();
            entry->path = SanitizeStoredPath(target.empty() ? save_dir_ + file_name : target);
            entry->relative_name = file_name;
            entry->size = layout.files[0].size;
            files_.push_back(std::move(entry));
            total_size = layout.files[0].size;
        } else {
            if (!IsSafeStorageComponent(name_) || layout.files.empty()) return false;
            // Files land in one folder named after the torrent, not in two.
            // (The folder keeps the spelling it has on disk.)
            std::string folder = name_;
            if (EndsWithNoCase(save_dir_, "/" + name_ + "/")) {
                folder = save_dir_.substr(save_dir_.size() - name_.size() - 1, name_.size());
                save_dir_.resize(save_dir_.size() - name_.size() - 1);
            }
            int64_t offset = 0;
            for (const StorageFileSpec& spec : layout.files) {
                if (spec.size < 0 || spec.components.empty()) break;
                if (spec.padding) {
                    // Zeros in the byte stream only: no path, nothing on disk.
                    auto entry = std::make_unique<FileEntry>();
                    entry->index = int32_t(files_.size());
                    entry->padding = true;
                    entry->relative_name = name_;
                    for (const std::string& part : spec.components) entry->relative_name += "/" + part;
                    entry->size = spec.size;
                    entry->offset = offset;
                    offset += spec.size;
                    files_.push_back(std::move(entry));
                    continue;
                }
                std::string relative = name_, on_disk = folder;
                for (size_t c = 0; c < spec.components.size(); ++c) {
                    const std::string& part = spec.components[c];
                    const bool last = c + 1 == spec.components.size();
                    if (last && part.empty()) break;  // names a directory
                    if (!IsSafeStorageComponent(part)) return false;  // never a path outside the save folder
                    relative += "/" + part;
                    on_disk += "/" + part;
                }
                if (spec.components.back().empty()) {
                    if (spec.size != 0) break;
                    CreateDirectoriesOn(fs_, save_dir_ + on_disk);
                    continue;
                }
                auto entry = std::make_unique<FileEntry>();
                entry->index = int32_t(files_.size());
                entry->path = SanitizeStoredPath(save_dir_ + on_disk);
                entry->relative_name = relative;
                entry->size = spec.size;
                entry->offset = offset;
                offset += spec.size;
                files_.push_back(std::move(entry));
            }
            total_size = offset;
            if (files_.empty()) return false;
        }
        geometry_ = BlockInfo(total_size, piece_length);
        // With hashes, the piece count must match the data exactly.
        if (geometry_.empty() || (info_loaded_ && size_t(geometry_.piece_count()) * 20 != piece_hashes_.size()))
            return false;
        std::vector<int64_t> sizes;
        std::vector<bool> padding;
        for (const auto& f : files_) {
            sizes.push_back(f->size);
            padding.push_back(f->padding);
        }
        file_map_ = FilePieceMap(geometry_, sizes, std::move(padding));
        if (file_map_.empty()) return false;
        for (auto& f : files_) {
            const FilePieceMap::PieceRange pieces = file_map_.PiecesOf(f->index);
            f->first_piece = f->size > 0 ? pieces.first : geometry_.PieceOfByte(f->offset);
            f->piece_span = pieces.count();
            ApplyTemporaryName(fs_, *f, options_.temp_suffix, options_.always_temp_name);
        }
        return BuildPieces();
    }();
    previous_ = nullptr;
    if (!ok) {
        // A refused or interrupted load leaves the map empty.
        CloseFiles();
        files_.clear();
        pieces_.clear();
        partial_.clear();
        bitfield_.clear();
        geometry_ = BlockInfo();
        file_map_ = FilePieceMap();
        info_loaded_ = false;
    }
    return ok;
}

bool TPieces::BuildPieces() {
    if (geometry_.empty() || files_.empty()) return false;
    pieces_.clear();
    pieces_.reserve(size_t(geometry_.piece_count()));
    for (int64_t i = 0; i < geometry_.piece_count(); ++i) {
        auto p = std::make_unique<PieceInProgress>();
        p->index = int32_t(i);
        p->size = PieceSize(int32_t(i));
        if (info_loaded_) p->expected = reinterpret_cast<const uint8_t*>(piece_hashes_.data()) + 20 * i;
        pieces_.push_back(std::move(p));
    }
    bitfield_.assign(size_t((geometry_.piece_count() + 7) / 8), 0);
    complete_not_had_ = 0;
    checked_bytes_ = verified_bytes_ = 0;
    wanted_bytes_ = geometry_.total_size();
    wanted_pieces_ = geometry_.piece_count();
    finished_pieces_ = 0;
    Notice(kNoticePiecesBuilt, 1, 4, geometry_.piece_count());
    ImportSelection();
    if (!EstablishState()) return false;
    if (Stop()) return false;
    if (options_.read_only) {
        RecountFinished();
        checked_bytes_ = geometry_.total_size();
        return true;
    }
    return PrepareAllFiles();
}

bool TPieces::EstablishState() {
    Notice(kNoticeStateEstablished, 1);
    if (previous_ && TransferFrom(*previous_)) {
        // The earlier map's progress is carried over.
    } else if (options_.quick_check) {
        if (!Stop() && !QuickCheck() && !Stop()) {
            // A sampled piece did not match: establish the truth piece by piece
            // rather than refuse the task.
            FullCheck();
        }
    } else if (options_.force_full_check || !ReadResumeData()) {
        if (info_loaded_ && !options_.resume_only) {
            FullCheck();
        } else {
            // No hashes to check against: nothing counts as on disk.
            CloseFiles();
            checked_bytes_ = wanted_bytes_ = geometry_.total_size();
            verified_bytes_ = 0;
            wanted_pieces_ = geometry_.piece_count();
            finished_pieces_ = 0;
            WriteResumeData();
        }
    }
    return !Stop();
}

bool TPieces::PieceValid(int32_t index) const {
    return index >= 0 && index < geometry_.piece_count() && size_t(index) < pieces_.size() && pieces_[size_t(index)] &&
           pieces_[size_t(index)]->size > 0;
}

bool TPieces::Have(int32_t index) const {
    if (index < 0 || index >= geometry_.piece_count() || size_t(index / 8) >= bitfield_.size()) return false;
    return (bitfield_[size_t(index / 8)] >> (7 - index % 8)) & 1;
}

bool TPieces::Wanted(int32_t index) const {
    return PieceValid(index) && !pieces_[size_t(index)]->unwanted && !Have(index);
}

bool TPieces::SetPieceHave(int32_t index, bool have) {
    if (!PieceValid(index)) return false;
    if (Have(index) == have) return true;
    uint8_t& byte = bitfield_[size_t(index / 8)];
    const uint8_t bit = uint8_t(0x80 >> (index % 8));
    const int64_t size = pieces_[size_t(index)]->size;
    if (pieces_[size_t(index)]->complete && !pieces_[size_t(index)]->unwanted) complete_not_had_ += have ? -1 : 1;
    if (have) {
        byte |= bit;
        // An unwanted piece already counted as finished.
        if (!pieces_[size_t(index)]->unwanted) ++finished_pieces_;
        verified_bytes_ += size;
        last_completed_ = index;
    } else {
        byte &= uint8_t(~bit);
        if (!pieces_[size_t(index)]->unwanted) finished_pieces_ = std::max(0, finished_pieces_ - 1);
        verified_bytes_ = std::max<int64_t>(0, verified_bytes_ - size);
        if (last_completed_ == index) last_completed_ = -1;
    }
    Notice(kNoticeHave, have ? 1 : 0, 4, index);
    return true;
}

void TPieces::RecountFinished() {
    int32_t n = 0;
    for (int32_t i = 0; i < geometry_.piece_count(); ++i)
        if (Have(i) || pieces_[size_t(i)]->unwanted) ++n;
    finished_pieces_ = n;
}

bool TPieces::FileComplete(int32_t file) const {
    if (file < 0 || file >= FileCount()) return false;
    const FileEntry& f = *files_[size_t(file)];
    if (f.size == 0) return !f.Unwanted();
    for (int32_t i = f.first_piece; i < f.first_piece + f.piece_span; ++i)
        if (!Have(i)) return false;
    return true;
}

bool TPieces::FileFullyUnwanted(int32_t file) const {
    if (file < 0 || file >= FileCount()) return false;
    const FileEntry& f = *files_[size_t(file)];
    if (!f.Unwanted()) return false;
    for (int32_t i = f.first_piece; i < f.first_piece + f.piece_span; ++i)
        if (PieceValid(i) && !pieces_[size_t(i)]->unwanted) return false;
    return true;
}

bool TPieces::SetFileWanted(int32_t file, bool wanted) {
    if (file < 0 || file >= FileCount()) return false;
    FileEntry& f = *files_[size_t(file)];
    if (f.Unwanted() != wanted) return true;  // no change
    f.priority = wanted ? 0 : kPriorityUnwanted;
    f.file.Close();
    if (f.size == 0) return true;
    const int32_t first = f.first_piece, last = f.first_piece + f.piece_span - 1;
    int64_t changed = 0, changed_not_had = 0;
    for (int32_t i = first; i <= last; ++i) {
        if (!PieceValid(i)) continue;
        PieceInProgress& p = *pieces_[size_t(i)];
        bool now_unwanted = false;
        if (!wanted) {
            // Unwanted only when every file it touches is unwanted.
            const int64_t start = geometry_.PieceBegin(i), end = start + p.size;
            now_unwanted = true;
            for (const auto& other : files_)
                if (other->size > 0 && other->offset < end && other->End() > start && !other->Unwanted()) {
                    now_unwanted = false;
                    break;
                }
        }
        if (p.unwanted == now_unwanted) continue;
        if (p.complete && !Have(i)) complete_not_had_ += now_unwanted ? -1 : 1;
        p.unwanted = now_unwanted;
        ++changed;
        if (!Have(i)) ++changed_not_had;
    }
    if (wanted && last > first && Have(last) && !Have(last - 1)) {
        // The shared tail of the last piece was kept apart while the file was unwanted.
        SetPieceHave(last, false);
    }
    const int64_t sign = wanted ? 1 : -1;
    wanted_bytes_ = std::clamp<int64_t>(wanted_bytes_ + sign * f.size, 0, geometry_.total_size());
    wanted_pieces_ = std::clamp<int64_t>(wanted_pieces_ + sign * changed, 0, geometry_.piece_count());
    finished_pieces_ = int32_t(std::clamp<int64_t>(finished_pieces_ - sign * changed_not_had, 0, geometry_.piece_count()));
    return true;
}

void TPieces::SetComplete(PieceInProgress& p, bool complete) {
    if (p.complete == complete) return;
    if (!p.unwanted && !Have(p.index)) complete_not_had_ += complete ? 1 : -1;
    p.complete = complete;
}

void TPieces::MarkPartial(int32_t index) {
    if (std::find(partial_.begin(), partial_.end(), index) == partial_.end()) partial_.push_back(index);
}

void TPieces::UnmarkPartial(int32_t index) {
    partial_.erase(std::remove(partial_.begin(), partial_.end(), index), partial_.end());
}

}  // namespace zl
