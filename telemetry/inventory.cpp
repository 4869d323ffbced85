#include "telemetry/inventory.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/base/text.h"

namespace zl {
namespace {

constexpr const char* kUnknown = "Unknown";

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}


// The value of the first "key : value" line whose key is `key` (proc files).
std::optional<std::string> ProcValue(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::string_view text = line;
        const size_t colon = text.find(':');
        if (colon == std::string_view::npos) continue;
        if (Trim(text.substr(0, colon)) == key) return std::string(Trim(text.substr(colon + 1)));
    }
    return std::nullopt;
}

bool ParseMac(const std::string& text, std::array<uint8_t, 6>& mac) {
    unsigned v[6];
    char tail;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
    return true;
}

// Architecture names as the machine descriptions of the statistics server know them.
std::string ArchitectureName(const std::string& machine) {
    if (machine == "x86_64" || machine == "amd64") return "x64";
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return "x86";
    if (machine.rfind("mips", 0) == 0) return "MIPS";
    if (machine == "alpha") return "Alpha";
    if (machine.rfind("ppc", 0) == 0 || machine.rfind("powerpc", 0) == 0) return "PowerPC";
    if (machine == "ia64") return "Itanium-based systems";
    if (machine == "aarch64" || machine == "arm64") return "ARM64";
    if (machine.rfind("arm", 0) == 0) return "ARM";
    return kUnknown;
}

std::string ToLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

InventorySources InventorySources::FromSystem() {
    InventorySources s;
    utsname names{};
    if (uname(&names) == 0) {
        s.machine = names.machine;
        s.kernel_release = names.release;
    }
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            s.locale = value;
            break;
        }
    }
    struct statvfs fs {};
    if (statvfs("/", &fs) == 0) s.volume_serial = static_cast<uint32_t>(fs.f_fsid);
    return s;
}

SystemInventory::SystemInventory(InventorySources sources) : sources_(std::move(sources)) {
    ReadAdapters();
    os_text_ = OsCode(sources_.kernel_release) + (Is64BitMachine(sources_.machine) ? "64" : "32") +
               CodePageChar(sources_.locale);
    std::array<uint8_t, 6> first{};
    if (!adapters_.empty()) first = adapters_.front().mac;
    mach_id_ = MachIdFrom(first, sources_.volume_serial.value_or(0));
    if (adapters_.empty()) {
        mac_list_ = "0";
    } else {
        for (const AdapterInfo& adapter : adapters_) {
            if (!mac_list_.empty()) mac_list_ += ';';
            mac_list_ += FormatMac(adapter.mac);
        }
    }
}

std::string SystemInventory::Path(const std::string& relative) const {
    std::string path = sources_.root;
    if (path.empty() || path.back() != '/') path += '/';
    return path + relative;
}

void SystemInventory::ReadAdapters() {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator it(Path("sys/class/net"), error);
    if (error) return;
    std::vector<std::pair<long, AdapterInfo>> found;
    for (const fs::directory_entry& entry : it) {
        const std::string dir = entry.path().string();
        if (ReadFirstLine(dir + "/type") == "772") continue;  // loopback
        AdapterInfo info;
        info.name = entry.path().filename().string();
        if (!ParseMac(ReadFirstLine(dir + "/address"), info.mac)) continue;
        const long index = std::strtol(ReadFirstLine(dir + "/ifindex").c_str(), nullptr, 10);
        found.emplace_back(index, std::move(info));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second.name < b.second.name;
    });
    for (auto& [index, info] : found) adapters_.push_back(std::move(info));

    // Addresses belong to the running system, not to a fixture tree.
    if (sources_.root != "/" || adapters_.empty()) return;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (AdapterInfo& adapter : adapters_) {
        for (ifaddrs* a = list; a; a = a->ifa_next) {
            if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || adapter.name != a->ifa_name) continue;
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
            adapter.ipv4 = text;
            break;
        }
    }
    freeifaddrs(list);
}

std::string SystemInventory::OsCode(const std::string& kernel_release) {
    // major, minor and the third number (the kernel's counterpart of a service
    // pack), written one after the other: "6.1.0-18-amd64" gives "610".
    std::string parts[3];
    size_t part = 0;
    for (char c : kernel_release) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            parts[part] += c;
        } else if (c == '.' && part < 2 && !parts[part].empty()) {
            ++part;
        } else {
            break;
        }
    }
    if (parts[0].empty() || parts[1].empty()) return "999";
    return parts[0] + parts[1] + (parts[2].empty() ? "0" : parts[2]);
}

bool SystemInventory::Is64BitMachine(const std::string& machine) {
    static const char* const k64[] = {"x86_64", "amd64", "ia64", "aarch64", "arm64", "ppc64", "ppc64le",
                                      "riscv64", "s390x", "mips64", "loongarch64", "sparc64"};
    return std::find(std::begin(k64), std::end(k64), machine) != std::end(k64);
}

char SystemInventory::CodePageChar(const std::string& locale) {
    // The locale's code set when it names a legacy one, else its language: a
    // Chinese user (zh_CN.UTF-8 included) writes in a Chinese code page, a
    // Western European one in Windows-1252.
    const std::string name = ToLower(locale);
    const size_t dot = name.find('.');
    std::string codeset = dot == std::string::npos ? "" : name.substr(dot + 1);
    codeset = codeset.substr(0, codeset.find('@'));
    codeset.erase(std::remove(codeset.begin(), codeset.end(), '-'), codeset.end());
    codeset.erase(std::remove(codeset.begin(), codeset.end(), '_'), codeset.end());
    static const char* const kChinese[] = {"gbk", "gb2312", "gb18030", "big5", "big5hkscs", "euccn",
                                           "euctw", "cp936", "cp950", "cp54936"};
    static const char* const kWestern[] = {"iso88591", "iso885915", "cp1252", "windows1252", "latin1"};
    if (std::find(std::begin(kChinese), std::end(kChinese), codeset) != std::end(kChinese)) return '0';
    if (std::find(std::begin(kWestern), std::end(kWestern), codeset) != std::end(kWestern)) return '1';
    const std::string language = name.substr(0, name.find_first_of("_.@"));
    if (language == "zh") return '0';
    static const char* const kWesternLanguages[] = {"c", "posix", "", "en", "fr", "de", "es", "it",
                                                    "pt", "nl", "da", "sv", "nb", "nn", "no", "fi",
                                                    "is", "ga", "ca", "eu", "gl", "af", "id", "ms",
                                                    "sw", "fo", "oc", "br", "lb", "sq"};
    if (std::find(std::begin(kWesternLanguages), std::end(kWesternLanguages), language) != std::end(kWesternLanguages))
        return '1';
    return '2';
}

std::string SystemInventory::MachIdFrom(const std::array<uint8_t, 6>& m, uint32_t serial) {
    const uint8_t s[4] = {static_cast<uint8_t>(serial), static_cast<uint8_t>(serial >> 8),
                          static_cast<uint8_t>(serial >> 16), static_cast<uint8_t>(serial >> 24)};
    const uint8_t bytes[8] = {static_cast<uint8_t>(m[0] + s[2]), m[1], static_cast<uint8_t>(m[2] + s[3]),
                              static_cast<uint8_t>(m[3] + s[0]), m[4], static_cast<uint8_t>(m[5] + s[2]),
                              s[0], s[1]};
    return HexEncode(bytes, sizeof bytes, HexCase::kUpper);
}

std::string SystemInventory::FormatMac(const std::array<uint8_t, 6>& m) {
    std::string text;
    for (const uint8_t byte : m) text += (text.empty() ? "" : "-") + HexEncode(&byte, 1);
    return text;
}

void SystemInventory::AddIdentity(Json::Value& object) const {
    object["MachId"] = mach_id_;
    object["Mac"] = mac_list_;
    object["OS"] = os_text_;
}

void SystemInventory::AddHardware(Json::Value& object, int flags) const {
    if (flags & kInventoryCpu) {
        const std::string cpuinfo = Path("proc/cpuinfo");
        const bool readable = std::ifstream(cpuinfo).good();
        Json::Value cpu(Json::objectValue);
        cpu["CPU_Name"] = ProcValue(cpuinfo, "model name").value_or(kUnknown);
        cpu["CPU_Manufacturer"] = ProcValue(cpuinfo, "vendor_id").value_or(kUnknown);
        cpu["CPU_Type"] = readable ? "Central Processor" : "Error";
        cpu["CPU_Architecture"] = ArchitectureName(sources_.machine);
        object["CPU"] = cpu;
    }
    if (flags & kInventoryMemory) {
        Json::Value memory(Json::objectValue);
        std::string total = kUnknown;
        if (auto kib = ProcValue(Path("proc/meminfo"), "MemTotal")) {
            const unsigned long long value = std::strtoull(kib->c_str(), nullptr, 10);
            if (value > 0) total = std::to_string(value * 1024);
        }
        memory["Memory_Total_Capacity"] = total;
        // Module type, size and speed need the firmware tables, which only root may read.
        memory["Memory_Type"] = kUnknown;
        memory["Memory_Capacity"] = kUnknown;
        memory["Memory_Frequency"] = kUnknown;
        object["Memory"] = memory;
    }
    if (flags & kInventoryVideoCard) {
        Json::Value video(Json::objectValue);
        std::string name = kUnknown, vram = kUnknown, driver_version = kUnknown;
        namespace fs = std::filesystem;
        std::error_code error;
        std::vector<std::string> cards;
        for (fs::directory_iterator it(Path("sys/class/drm"), error), end; !error && it != end; it.increment(error)) {
            const std::string card = it->path().filename().string();
            if (card.rfind("card", 0) == 0 && card.size() > 4 &&
                std::all_of(card.begin() + 4, card.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
                cards.push_back(it->path().string());
        }
        std::sort(cards.begin(), cards.end());
        if (!cards.empty()) {
            // uevent lines are KEY=value: DRIVER=i915, PCI_ID=8086:1916.
            const std::string device = cards.front() + "/device";
            std::string driver, pci;
            std::ifstream in(device + "/uevent");
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("DRIVER=", 0) == 0) driver = Trim(std::string_view(line).substr(7));
                if (line.rfind("PCI_ID=", 0) == 0) pci = Trim(std::string_view(line).substr(7));
            }
            if (!driver.empty() || !pci.empty())
                name = driver + (driver.empty() || pci.empty() ? "" : " ") + pci;
            const std::string vram_text = ReadFirstLine(device + "/mem_info_vram_total");
            if (!vram_text.empty()) vram = vram_text;
            if (!driver.empty() && driver.find('/') == std::string::npos) {
                // A driver built into the kernel has no version of its own.
                const std::string version = ReadFirstLine(Path("sys/module/" + driver + "/version"));
                if (!version.empty()) driver_version = version;
                else if (!sources_.kernel_release.empty()) driver_version = sources_.kernel_release;
            }
        }
        video["Video_Card_Name"] = name;
        video["Video_Card_Memory_Capacity"] = vram;
        video["Video_Card_Driver_Version"] = driver_version;
        object["Video_Card"] = video;
    }
}

}  // namespace zl
