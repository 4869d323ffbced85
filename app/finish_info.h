// What the application remembers about a completed file (its size and last
// write time, each as two 32-bit halves in the INI) and the check that tells
// whether the file is still the one it completed.
#pragma once
#include <cstdint>
#include <string>

#include "app/ini_file.h"

namespace zl::app {

struct FileStamp {
    bool exists = false;
    uint64_t size = 0;
    uint64_t write_time = 0;  // UTC, 100 ns units since 1601-01-01
};

FileStamp StampOf(const std::string& path);
void RecordFinishInfo(IniFile& ini, int index, const FileStamp& stamp);
// True only when all four stored texts equal the file's current values.
bool FinishInfoUnchanged(const IniFile& ini, int index, const FileStamp& stamp);

}  // namespace zl::app
