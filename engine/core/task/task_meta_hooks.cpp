#include "engine/core/task/task_meta_hooks.h"

#include "engine/meta/task_info_file.h"
#include "engine/meta/torrent.h"

namespace zl {
namespace {

class TaskInfoCodec final : public ResumeInfoCodec {
public:
    bool Decode(std::string_view bytes, std::array<std::string, ResumeBlobs::kCount>& out) override {
        std::optional<TaskInfoFile> info = DecodeTaskInfo(std::string(bytes));
        if (!info) return false;
        out[ResumeBlobs::kBits] = std::move(info->bits);
        out[ResumeBlobs::kPart] = std::move(info->part);
        out[ResumeBlobs::kSeeds] = std::move(info->seeds);
        out[ResumeBlobs::kTorrent] = std::move(info->torrent);
        return true;
    }
    std::string Encode(const std::array<std::string, ResumeBlobs::kCount>& v) override {
        return EncodeTaskInfo(TaskInfoFile{v[ResumeBlobs::kBits], v[ResumeBlobs::kPart], v[ResumeBlobs::kSeeds],
                                           v[ResumeBlobs::kTorrent]});
    }
};

class TorrentParser final : public MetainfoParser {
public:
    bool Parse(std::string_view bytes, ParsedMetainfo& out) override {
        RefPtr<TTorrent> torrent = RefPtr<TTorrent>::Adopt(new TTorrent());
        if (!torrent->LoadFromData(bytes.data(), static_cast<int64_t>(bytes.size()))) return false;
        const TorrentInfo& info = torrent->Info();
        if (info.piece_count < 0 || info.piece_count > INT32_MAX || info.piece_length > INT32_MAX) return false;
        out.name = info.name;
        out.comment = torrent->Comment();
        out.announce = torrent->Announce();
        out.info_hash_hex = torrent->HexInfoHash();
        out.total_size = static_cast<uint64_t>(info.total_size);
        out.piece_length = static_cast<int32_t>(info.piece_length);
        out.piece_count = static_cast<int32_t>(info.piece_count);
        return true;
    }
};

}  // namespace

std::shared_ptr<ResumeInfoCodec> MakeTaskInfoCodec() { return std::make_shared<TaskInfoCodec>(); }
std::shared_ptr<MetainfoParser> MakeTorrentParser() { return std::make_shared<TorrentParser>(); }

}  // namespace zl
