// The task information file (".zlinfo"): a bencoded dictionary holding the
// resume data ("bits"), the file selection ("part"), the saved peers ("seeds")
// and the raw torrent ("torrent"), each only when not empty. Written through a
// temporary file and a rename, so a crash leaves the old or the new file.
#pragma once
#include <optional>
#include <string>

namespace zl {

struct TaskInfoFile {
    std::string bits;
    std::string part;
    std::string seeds;
    std::string torrent;
};

std::string EncodeTaskInfo(const TaskInfoFile& info);
// Nullopt for bytes that are not one complete dictionary (a torn or foreign
// file); values shorter than 3 bytes are ignored.
std::optional<TaskInfoFile> DecodeTaskInfo(const std::string& bytes);

bool WriteTaskInfoFile(const std::string& path, const TaskInfoFile& info);
std::optional<TaskInfoFile> ReadTaskInfoFile(const std::string& path);

}  // namespace zl
