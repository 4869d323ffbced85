// A fresh folder for one test, removed with everything in it when the test
// lets go of it. It cannot be copied: two owners would remove it twice.
#pragma once
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zl::test {

// Who may read the folder: servers started by a test (nginx, vsftpd,
// opentracker) read it as another user.
enum class TempDirAccess { kOwnerOnly, kReadableByAll };

class TempDir {
public:
    // A new folder under the system's temporary folder, named `label` and a
    // random suffix so runs side by side never share one.
    explicit TempDir(std::string_view label = "zl-test", TempDirAccess access = TempDirAccess::kOwnerOnly) {
        std::string pattern = (std::filesystem::temp_directory_path() / (std::string(label) + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder from " + pattern);
        path_ = pattern;
        if (access == TempDirAccess::kReadableByAll) ::chmod(path_.c_str(), 0755);
    }
    ~TempDir() {
        namespace fs = std::filesystem;
        std::error_code error;
        if (fs::remove_all(path_, error) != static_cast<std::uintmax_t>(-1) && !error) return;
        // A test that made a folder read-only (to see a write fail) leaves
        // it so: give the owner its rights back, then remove again.
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ignored);
             it != fs::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the folder.
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
    // Writes `bytes` to `name` (folders on the way are made) and returns its path.
    std::string File(std::string_view name, std::string_view bytes) const {
        const std::filesystem::path file = *this / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
        return file.string();
    }

private:
    std::string path_;
};

}  // namespace zl::test
