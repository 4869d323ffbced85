#include "app/finish_info.h"

#include <sys/stat.h>

#include <cstdio>

namespace zl::app {
namespace {

constexpr char kSection[] = "ZephyrloaderFinishInfo";
constexpr uint64_t kEpochOffset = 116'444'736'000'000'000ull;  // 1601..1970 in 100 ns units

std::string Key(int index, const char* what) {
    char key[64];
    std::snprintf(key, sizeof key, "ZephyrloaderTask%d%s", index, what);
    return key;
}

std::string Half(uint64_t value, bool high) {
    return std::to_string(high ? uint32_t(value >> 32) : uint32_t(value & 0xffffffffu));
}

}  // namespace

FileStamp StampOf(const std::string& path) {
    FileStamp s;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return s;
    s.exists = true;
    s.size = uint64_t(st.st_size);
    s.write_time = uint64_t(st.st_mtim.tv_sec) * 10'000'000ull + uint64_t(st.st_mtim.tv_nsec) / 100 + kEpochOffset;
    return s;
}

void RecordFinishInfo(IniFile& ini, int index, const FileStamp& stamp) {
    ini.Set(kSection, Key(index, "WriteTimeHigh"), Half(stamp.write_time, true));
    ini.Set(kSection, Key(index, "WriteTimeLow"), Half(stamp.write_time, false));
    ini.Set(kSection, Key(index, "FileSizeHigh"), Half(stamp.size, true));
    ini.Set(kSection, Key(index, "FileSizeLow"), Half(stamp.size, false));
}

bool FinishInfoUnchanged(const IniFile& ini, int index, const FileStamp& stamp) {
    if (!stamp.exists) return false;
    return ini.Get(kSection, Key(index, "WriteTimeHigh")) == Half(stamp.write_time, true) &&
           ini.Get(kSection, Key(index, "WriteTimeLow")) == Half(stamp.write_time, false) &&
           ini.Get(kSection, Key(index, "FileSizeHigh")) == Half(stamp.size, true) &&
           ini.Get(kSection, Key(index, "FileSizeLow")) == Half(stamp.size, false);
}

}  // namespace zl::app
