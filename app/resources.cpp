#include "app/resources.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <vector>

#include "app/app_log.h"
#include "app/package_table.h"
#include "engine/meta/atomic_file.h"

namespace zl::app {

std::optional<std::string> ResourceStore::Load(std::string_view type, int id) const {
    if (!override_dir_.empty()) {
        const std::string path = override_dir_ + "/" + std::string(type) + "/" + std::to_string(id);
        if (std::optional<std::string> bytes = ReadWholeFile(path, int64_t(64) << 20)) return bytes;
    }
    if (std::optional<std::string_view> built_in = BuiltInResource(type, id)) return std::string(*built_in);
    return std::nullopt;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') clean += c;
    if (clean.size() % 4 != 0) return std::nullopt;
    if (clean.empty()) return std::string();
    std::vector<unsigned char> out(clean.size() / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()), int(clean.size()));
    if (n < 0) return std::nullopt;
    size_t size = size_t(n);
    // EVP_DecodeBlock counts the padding as zero bytes.
    if (clean.size() >= 1 && clean.back() == '=') --size;
    if (clean.size() >= 2 && clean[clean.size() - 2] == '=') --size;
    return std::string(reinterpret_cast<const char*>(out.data()), size);
}

namespace {

bool WriteResource(const std::string& path, const std::string& bytes) { return WriteFileAtomic(path, bytes); }

std::string TempFolder() {
    const char* temp = std::getenv("TEMP");
    if (!temp || !*temp) temp = std::getenv("TMPDIR");
    return temp && *temp ? temp : "/tmp";
}

}  // namespace

Extraction ExtractResource(const ResourceStore& store, std::string_view type, int id, const std::string& folder,
                           const std::string& name, bool base64) {
    Extraction e;
    std::optional<std::string> bytes = store.Load(type, id);
    if (bytes && base64) bytes = DecodeBase64(*bytes);
    const std::string first = folder + "/" + name;
    if (bytes && CreateDirectories(folder) && WriteResource(first, *bytes)) {
        e.result = 0;
        e.path = first;
        return e;
    }
    AppLog("Zephyrloader UI : 释放文件(path=" + first + ")第一次失败");
    const std::string second = TempFolder() + "/" + name;
    if (bytes && WriteResource(second, *bytes)) {
        e.result = 1;
        e.path = second;
        return e;
    }
    AppLog("Zephyrloader UI : 初始化失败，释放文件(path=" + second + ")第二次失败");
    return e;
}

}  // namespace zl::app
