#include "telemetry/data_statistics.h"

#include <json/json.h>

#include <sys/stat.h>

#include <exception>

#include "engine/base/text.h"
#include "telemetry/ini_reader.h"

namespace zl {
namespace {

constexpr const char* kEventSection = "SubmitEventDownload";
constexpr const char* kBatchSection = "SubmitEventDownloadSeveral";

std::vector<std::string> SplitKeywords(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(';', start), text.size());
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Runs `fn`, turning an escaping exception into result 16.
template <class Fn>
int Guarded(Fn&& fn) {
    try {
        return fn();
    } catch (...) {
        return kStatException;
    }
}

}  // namespace

std::vector<std::string> SubmitUrls(const IniReader& config, const std::string& section) {
    std::vector<std::string> urls;
    for (int n = 0;; ++n) {
        const std::string key = n == 0 ? "SubmitUrl" : "SubmitUrl" + std::to_string(n);
        std::string url = config.GetString(section, key);
        if (url.empty()) break;
        urls.push_back(std::move(url));
    }
    return urls;
}

CDataStatisticsImp::CDataStatisticsImp(std::unique_ptr<FormPoster> poster, std::optional<InventorySources> inventory)
    : poster_(std::move(poster)), inventory_sources_(std::move(inventory)) {}

int CDataStatisticsImp::SetConfigFile(const std::string& path) {
    return Guarded([&] {
        if (path.empty()) return int{kStatFailed};
        std::lock_guard lock(mutex_);
        config_path_ = path;
        return int{kStatOk};
    });
}

int CDataStatisticsImp::SetSessionId(const std::string& session_id) {
    return Guarded([&] {
        std::lock_guard lock(mutex_);
        session_id_ = session_id;
        return int{kStatOk};
    });
}

void CDataStatisticsImp::SetPostLimits(const PostLimits& limits) {
    std::lock_guard lock(mutex_);
    limits_ = limits;
}

size_t CDataStatisticsImp::BatchSize() {
    std::lock_guard lock(mutex_);
    return batch_.size();
}

uint64_t CDataStatisticsImp::Sequence() {
    std::lock_guard lock(mutex_);
    return sequence_;
}

int CDataStatisticsImp::AddEvent(const std::string& code, const std::string& body, int inventory_flags) {
    return Guarded([&] {
        std::lock_guard lock(mutex_);
        if (code.empty() || body.empty()) return int{kStatFailed};
        // Only accepted events count, so refusals never jam the batch.
        if (batch_.size() >= kMaxBatchEvents) return int{kStatBatchFull};
        const IniReader* config = Config();
        if (!config) return int{kStatNoConfig};
        for (const std::string& keyword : SplitKeywords(config->GetString(kEventSection, "InputDataKeyWord")))
            if (body.find(keyword) == std::string::npos) return int{kStatMissingKeyword};
        batch_.push_back({code, body, inventory_flags});
        return int{kStatOk};
    });
}

const IniReader* CDataStatisticsImp::Config() {
    struct stat st {};
    if (stat(config_path_.c_str(), &st) != 0) {
        config_.reset();
        return nullptr;
    }
    const std::string stamp = config_path_ + '\n' + std::to_string(st.st_size) + '\n' +
                              std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) + '\n' +
                              std::to_string(st.st_ino);
    if (!config_ || stamp != config_stamp_) {
        std::optional<IniReader> loaded = IniReader::Load(config_path_);
        if (!loaded) {
            config_.reset();
            return nullptr;
        }
        config_ = std::make_shared<IniReader>(std::move(*loaded));
        config_stamp_ = stamp;
    }
    return config_.get();
}

const SystemInventory& CDataStatisticsImp::Inventory() {
    if (!inventory_)
        inventory_ = std::make_unique<SystemInventory>(inventory_sources_ ? *inventory_sources_
                                                                         : InventorySources::FromSystem());
    return *inventory_;
}

std::optional<std::string> CDataStatisticsImp::BuildBatchBody() {
    std::lock_guard lock(mutex_);
    const uint64_t sequence = sequence_;
    auto body = BuildBatchBodyLocked();
    sequence_ = sequence;
    return body;
}

std::optional<std::string> CDataStatisticsImp::BuildBatchBodyLocked() {
    try {
        const SystemInventory& inventory = Inventory();
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        writer["emitUTF8"] = true;
        Json::Value array(Json::arrayValue);
        uint64_t sequence = sequence_;
        for (const Event& event : batch_) {
            Json::Value info(Json::objectValue);
            inventory.AddHardware(info, event.flags);
            inventory.AddIdentity(info);
            info["Sessionid"] = session_id_;
            info["Sequence"] = std::to_string(sequence++);
            // The engine's body continues the same object: drop the closing brace,
            // append the body (it starts with a comma) and close again.
            std::string text = Json::writeString(writer, info);
            if (text.empty() || text.back() != '}') return std::nullopt;
            text.pop_back();
            text += event.body;
            text += '}';
            Json::Value item(Json::objectValue);
            item["code"] = event.code;
            item["info"] = text;
            array.append(item);
        }
        const std::string json = Json::writeString(writer, array);
        sequence_ = sequence;
        return "data=" + PercentEncode(json, PercentKeep::kUnreserved, HexCase::kUpper);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int CDataStatisticsImp::SubmitEventDownloadSeveral() {
    return Guarded([&] {
        std::unique_lock lock(mutex_);
        if (batch_.empty()) return int{kStatFailed};
        const uint64_t sequence_before = sequence_;
        const std::optional<std::string> body = BuildBatchBodyLocked();
        if (!body) {
            sequence_ = sequence_before;
            return int{kStatBatchNotBuilt};
        }
        const IniReader* config = Config();
        const std::vector<std::string> urls = config ? SubmitUrls(*config, kBatchSection) : std::vector<std::string>{};
        const PostLimits limits = limits_;
        // Whatever the servers say, this batch is done: there is no retry.
        batch_.clear();
        FormPoster* poster = poster_.get();
        lock.unlock();

        for (const std::string& url : urls) {
            std::string answer;
            if (poster->Post(url, *body, limits, answer) && AnswerAccepted(answer)) return int{kStatOk};
        }
        return int{kStatFailed};
    });
}

std::string CDataStatisticsImp::IdentifierText() {
    try {
        std::lock_guard lock(mutex_);
        return Inventory().MachId();
    } catch (...) {
        return {};
    }
}

}  // namespace zl
