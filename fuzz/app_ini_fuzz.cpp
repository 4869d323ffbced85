// The INI reader and writer: whatever is read, a key written and read back
// gives the value written, and the other keys keep their values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    zl::app::IniFile ini;
    ini.Parse(text);
    const auto before = ini.Get("ZephyrloaderTask", "ZephyrloaderTaskHash");
    ini.GetInt("ZephyrloaderTask", "ZephyrloaderTaskLastSizeLow", 0);
    if (ini.Set("ZephyrloaderFinishInfo", "ZephyrloaderTask1FileSizeLow", "12345")) {
        zl::app::IniFile again;
        again.Parse(ini.Text());
        if (again.Get("ZephyrloaderFinishInfo", "ZephyrloaderTask1FileSizeLow") != "12345") __builtin_trap();
        if (again.Get("ZephyrloaderTask", "ZephyrloaderTaskHash") != before) __builtin_trap();
    }
    return 0;
}
