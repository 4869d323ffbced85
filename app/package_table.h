// The game package the downloader fetches: four files with their sizes and
// MD5s, where each is found by default, and the resources built into the
// program (a torrent per file, the statistics configuration). The program
// links one generated table: the real package, or a package made by
// tools/make-package for the demo and the tests.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zl::app {

inline constexpr int kPackageFiles = 4;
inline constexpr uint64_t kSpaceReserve = 104'857'600;  // 100 MiB kept free beyond the package
inline constexpr int kTelemetryResourceId = 181;

struct PackageFile {
    std::string name;
    uint64_t size = 0;
    std::string md5;  // 32 lower-case hex digits
    int torrent_resource = 0;
    std::string http_path;  // "/300/Data300.zip"
};

struct PackageTable {
    std::array<PackageFile, kPackageFiles> files;
    std::string mirror_host;  // host[:port] of the default HTTP URLs
    std::string config_url;   // the server configuration document
    std::string folder_name = "TLV300";

    // The installer's MD5: names the application folder, the INI and the single-instance socket.
    const std::string& InstallationId() const { return files[0].md5; }
    uint64_t PackageBytes() const;
    // The package plus the 100 MiB reserve; 0 when the table is empty.
    uint64_t SpaceNeeded() const;
    std::string DefaultUrl(int i) const { return "http://" + mirror_host + files[size_t(i)].http_path; }
};

// Defined by the generated table the program links.
const PackageTable& BuiltInPackageTable();
// The built-in resource of a type ("TORRENT", "DUCONF") and id, or nullopt.
std::optional<std::string_view> BuiltInResource(std::string_view type, int id);

}  // namespace zl::app
