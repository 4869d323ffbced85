// What a statistics event says about the machine: its identity ("MachId"),
// its adapters' MAC addresses, the operating-system text and, when asked for,
// short descriptions of the CPU, the memory and the video card. Everything is
// read from a file-system root (proc/, sys/) and a few facts of the running
// system, all of which a test can replace with a fixture.
#pragma once
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Json {
class Value;
}

namespace zl {

// Inventory flags of an event: which hardware objects its info carries.
enum InventoryFlags : int {
    kInventoryCpu = 1,
    kInventoryMemory = 2,
    kInventoryVideoCard = 4,
};

struct InventorySources {
    // Root under which proc/cpuinfo, proc/meminfo, sys/class/net, sys/class/drm
    // and sys/module are read.
    std::string root = "/";
    // uname's machine ("x86_64", "i686", "aarch64") and release ("6.1.0-18-amd64").
    std::string machine;
    std::string kernel_release;
    // The locale name in force for text ("zh_CN.GBK", "en_US.UTF-8", "C").
    std::string locale;
    // Serial of the system volume (low 32 bits of the root file system's id);
    // empty when it cannot be read.
    std::optional<uint32_t> volume_serial;

    // The running system: root "/", uname, LC_ALL/LC_CTYPE/LANG, statvfs("/").
    static InventorySources FromSystem();
};

struct AdapterInfo {
    std::string name;
    std::array<uint8_t, 6> mac{};
    std::string ipv4;  // first IPv4 address in dotted form, empty when none
};

class SystemInventory {
public:
    explicit SystemInventory(InventorySources sources = InventorySources::FromSystem());

    // Adds "CPU", "Memory" and "Video_Card" objects as `flags` asks.
    void AddHardware(Json::Value& object, int flags) const;
    // Adds "MachId", "Mac" and "OS".
    void AddIdentity(Json::Value& object) const;

    // Operating-system code, then "64" or "32", then the code-page character.
    const std::string& OsText() const { return os_text_; }
    // 16 upper-case hex digits mixing the first adapter's MAC with the volume serial.
    const std::string& MachId() const { return mach_id_; }
    // Every adapter's MAC as "xx-xx-xx-xx-xx-xx", joined with ";"; "0" when none can be read.
    const std::string& MacList() const { return mac_list_; }
    // Adapters with a 6-byte hardware address, loopback excluded, in interface-index order.
    const std::vector<AdapterInfo>& Adapters() const { return adapters_; }

    // The pieces, exposed for tests and for other users of the formulas.
    static std::string OsCode(const std::string& kernel_release);
    static bool Is64BitMachine(const std::string& machine);
    static char CodePageChar(const std::string& locale);
    static std::string MachIdFrom(const std::array<uint8_t, 6>& mac, uint32_t volume_serial);
    static std::string FormatMac(const std::array<uint8_t, 6>& mac);

private:
    std::string Path(const std::string& relative) const;
    void ReadAdapters();

    InventorySources sources_;
    std::vector<AdapterInfo> adapters_;
    bool adapters_readable_ = false;
    std::string os_text_;
    std::string mach_id_;
    std::string mac_list_;
};

}  // namespace zl
