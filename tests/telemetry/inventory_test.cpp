#include "telemetry/inventory.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include "tests/telemetry/telemetry_test_support.h"

namespace zl {
namespace {

using test::TempDir;
using test::WriteFile;

void AddAdapter(const std::string& root, const std::string& name, const std::string& mac, int index, int type = 1) {
    WriteFile(root + "/sys/class/net/" + name + "/address", mac + "\n");
    WriteFile(root + "/sys/class/net/" + name + "/ifindex", std::to_string(index) + "\n");
    WriteFile(root + "/sys/class/net/" + name + "/type", std::to_string(type) + "\n");
}

InventorySources Sources(const std::string& root) {
    InventorySources s;
    s.root = root;
    s.machine = "x86_64";
    s.kernel_release = "6.1.0-18-amd64";
    s.locale = "en_US.UTF-8";
    s.volume_serial = 0xA1B2C3D4;
    return s;
}

TEST(InventoryMachId, MixesTheFirstAdaptersMacWithTheVolumeSerial) {
    // s0..s3 = D4 C3 B2 A1: 10+B2, 20, 30+A1, 40+D4, 50, 60+B2, D4, C3 (mod 256).
    EXPECT_EQ(SystemInventory::MachIdFrom({0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, 0xA1B2C3D4), "C220D1145012D4C3");
    EXPECT_EQ(SystemInventory::MachIdFrom({0, 0, 0, 0, 0, 0}, 0), "0000000000000000");

    TempDir dir;
    AddAdapter(dir.path(), "lo", "00:00:00:00:00:00", 1, 772);
    AddAdapter(dir.path(), "enp9s0", "aa:bb:cc:dd:ee:ff", 3);
    AddAdapter(dir.path(), "eth0", "10:20:30:40:50:60", 2);
    SystemInventory inventory(Sources(dir.path()));
    EXPECT_EQ(inventory.MachId(), "C220D1145012D4C3");  // eth0 comes first by interface index
}

TEST(InventoryMacList, EveryAdapterInIndexOrderOrZero) {
    TempDir dir;
    AddAdapter(dir.path(), "lo", "00:00:00:00:00:00", 1, 772);
    AddAdapter(dir.path(), "wlan0", "AA:BB:CC:DD:EE:0F", 3);
    AddAdapter(dir.path(), "eth0", "10:20:30:40:50:60", 2);
    AddAdapter(dir.path(), "tun0", "", 4);  // no hardware address: not an adapter here
    EXPECT_EQ(SystemInventory(Sources(dir.path())).MacList(), "10-20-30-40-50-60;aa-bb-cc-dd-ee-0f");

    TempDir only_loopback;
    AddAdapter(only_loopback.path(), "lo", "00:00:00:00:00:00", 1, 772);
    EXPECT_EQ(SystemInventory(Sources(only_loopback.path())).MacList(), "0");

    TempDir no_sys;
    SystemInventory unreadable(Sources(no_sys.path()));
    EXPECT_EQ(unreadable.MacList(), "0");
    // Without an adapter the identity still comes from the volume serial.
    EXPECT_EQ(unreadable.MachId(), "B200A1D400B2D4C3");
}

TEST(InventoryOsText, CodeThenWordSizeThenCodePage) {
    struct Case {
        const char* release;
        const char* machine;
        const char* locale;
        const char* text;
    } cases[] = {
        {"6.1.0-18-amd64", "x86_64", "en_US.UTF-8", "610641"},
        {"5.10.0", "i686", "zh_CN.GBK", "5100320"},
        {"4.19.0-26-armmp", "armv7l", "ru_RU.UTF-8", "4190322"},
        {"6.1", "aarch64", "C", "610641"},
        {"garbage", "x86_64", "zh_TW.UTF-8", "999640"},  // a Chinese user under UTF-8 still counts as Chinese
        {"", "ia64", "de_DE.ISO-8859-1", "999641"},
        {"5.15.90.1-microsoft", "x86_64", "ja_JP.eucJP", "51590642"},
        {"6.1.0", "x86_64", "zh_HK.BIG5-HKSCS", "610640"},
        {"6.1.0", "x86_64", "", "610641"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        InventorySources s = Sources(dir.path());
        s.kernel_release = c.release;
        s.machine = c.machine;
        s.locale = c.locale;
        EXPECT_EQ(SystemInventory(s).OsText(), c.text) << c.release << " " << c.machine << " " << c.locale;
    }
}

TEST(InventoryHardware, ObjectsFromProcAndSys) {
    TempDir dir;
    test::MakeInventoryFixture(dir.path());
    WriteFile(dir / "sys/class/drm/card0/device/uevent", "DRIVER=amdgpu\nPCI_ID=1002:73BF\n");
    WriteFile(dir / "sys/class/drm/card0/device/mem_info_vram_total", "17163091968\n");
    WriteFile(dir / "sys/class/drm/card0-DP-1/status", "connected\n");
    WriteFile(dir / "sys/module/amdgpu/version", "23.10\n");
    SystemInventory inventory(Sources(dir.path()));

    Json::Value none(Json::objectValue);
    inventory.AddHardware(none, 0);
    EXPECT_TRUE(none.empty());

    Json::Value all(Json::objectValue);
    inventory.AddHardware(all, kInventoryCpu | kInventoryMemory | kInventoryVideoCard);
    EXPECT_EQ(all["CPU"]["CPU_Name"].asString(), "Test CPU @ 3.00GHz");
    EXPECT_EQ(all["CPU"]["CPU_Manufacturer"].asString(), "GenuineIntel");
    EXPECT_EQ(all["CPU"]["CPU_Type"].asString(), "Central Processor");
    EXPECT_EQ(all["CPU"]["CPU_Architecture"].asString(), "x64");
    EXPECT_EQ(all["Memory"]["Memory_Total_Capacity"].asString(), "8192000000");
    EXPECT_EQ(all["Memory"]["Memory_Type"].asString(), "Unknown");
    EXPECT_EQ(all["Video_Card"]["Video_Card_Name"].asString(), "amdgpu 1002:73BF");
    EXPECT_EQ(all["Video_Card"]["Video_Card_Memory_Capacity"].asString(), "17163091968");
    EXPECT_EQ(all["Video_Card"]["Video_Card_Driver_Version"].asString(), "23.10");

    Json::Value identity(Json::objectValue);
    inventory.AddIdentity(identity);
    EXPECT_EQ(identity["MachId"].asString(), "C220D1145012D4C3");
    EXPECT_EQ(identity["Mac"].asString(), "10-20-30-40-50-60");
    EXPECT_EQ(identity["OS"].asString(), "610641");
}

TEST(InventoryHardware, MissingSourcesGiveUnknownOrError) {
    TempDir dir;
    SystemInventory inventory(Sources(dir.path()));
    Json::Value all(Json::objectValue);
    inventory.AddHardware(all, kInventoryCpu | kInventoryMemory | kInventoryVideoCard);
    EXPECT_EQ(all["CPU"]["CPU_Type"].asString(), "Error");
    EXPECT_EQ(all["CPU"]["CPU_Name"].asString(), "Unknown");
    EXPECT_EQ(all["Memory"]["Memory_Total_Capacity"].asString(), "Unknown");
    EXPECT_EQ(all["Video_Card"]["Video_Card_Name"].asString(), "Unknown");
}

TEST(InventorySystem, RunningSystemGivesWellFormedTexts) {
    SystemInventory inventory;
    EXPECT_EQ(inventory.MachId().size(), 16u);
    EXPECT_EQ(inventory.MachId().find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_FALSE(inventory.MacList().empty());
    EXPECT_GE(inventory.OsText().size(), 6u);
}

}  // namespace
}  // namespace zl
