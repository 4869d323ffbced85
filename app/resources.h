// The program's resources: built in at build time, or replaced at run time by
// files in an override folder (DIR/TORRENT/301, DIR/DUCONF/181), so tests and
// the local package site can hand the program torrents that announce to their
// own tracker.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace zl::app {

class ResourceStore {
public:
    explicit ResourceStore(std::string override_dir = "") : override_dir_(std::move(override_dir)) {}
    std::optional<std::string> Load(std::string_view type, int id) const;

private:
    std::string override_dir_;
};

struct Extraction {
    int result = -1;   // 0 written to the folder, 1 written to the temporary folder, -1 failed
    std::string path;  // where it was written
};

// Writes resource (type, id) to folder/name, decoded from base64 when asked;
// on failure tries $TEMP (or /tmp)/name. Logs each failure.
Extraction ExtractResource(const ResourceStore& store, std::string_view type, int id, const std::string& folder,
                           const std::string& name, bool base64);

// Standard base64 (blanks and line breaks ignored); nullopt on bad input.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace zl::app
