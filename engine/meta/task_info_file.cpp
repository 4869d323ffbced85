#include "engine/meta/task_info_file.h"

#include "engine/meta/atomic_file.h"
#include "engine/meta/bencode.h"

namespace zl {

std::string EncodeTaskInfo(const TaskInfoFile& info) {
    auto dict = NewDictionary();
    const std::pair<const char*, const std::string*> fields[] = {
        {"bits", &info.bits}, {"part", &info.part}, {"seeds", &info.seeds}, {"torrent", &info.torrent}};
    for (const auto& [key, value] : fields)
        if (!value->empty()) dict->AddString(key, *value);
    return Encode(*dict);
}

std::optional<TaskInfoFile> DecodeTaskInfo(const std::string& bytes) {
    int64_t used = 0;
    std::unique_ptr<QElement> root = ParseElement(bytes, &used);
    // Trailing bytes mean the file is not what we wrote.
    if (!root || !root->IsDictionary() || used != int64_t(bytes.size())) return std::nullopt;
    const QDictionaryElement* dict = root->AsDictionary();
    TaskInfoFile info;
    auto take = [&](const char* key, std::string& out) {
        const std::optional<std::string_view> v = dict->BytesOf(key);
        if (v && v->size() >= 3) out.assign(*v);
    };
    take("bits", info.bits);
    take("part", info.part);
    take("seeds", info.seeds);
    take("torrent", info.torrent);
    return info;
}

bool WriteTaskInfoFile(const std::string& path, const TaskInfoFile& info) {
    const std::string bytes = EncodeTaskInfo(info);
    return !bytes.empty() && WriteFileAtomic(path, bytes);
}

std::optional<TaskInfoFile> ReadTaskInfoFile(const std::string& path) {
    const std::optional<std::string> bytes = ReadWholeFile(path, int64_t(256) << 20);
    if (!bytes) return std::nullopt;
    return DecodeTaskInfo(*bytes);
}

}  // namespace zl
