// The statistics component: collects events into a batch of at most 20 and
// posts the batch, as one JSON array in a "data=" form field, to each URL of
// the configuration file's "SubmitEventDownloadSeveral" section in turn until
// one answers "error":0.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/form_poster.h"
#include "telemetry/ini_reader.h"
#include "telemetry/inventory.h"

namespace zl {

// Results of the component's operations.
enum StatisticsResult : int {
    kStatFailed = 0,          // invalid arguments, nothing to send, or no URL accepted the batch
    kStatOk = 1,
    kStatMissingKeyword = 11,  // a required keyword is missing from the body
    kStatException = 16,
    kStatBatchFull = 18,       // 20 events wait already; submit first
    kStatNoConfig = 20,        // the configuration file cannot be read
    kStatBatchNotBuilt = 21,   // the batch cannot be built; it stays
};

inline constexpr size_t kMaxBatchEvents = 20;

class IDataStatisticsUser {
public:
    virtual ~IDataStatisticsUser() = default;
    virtual int SetConfigFile(const std::string& path) = 0;
    virtual int SetSessionId(const std::string& session_id) = 0;
    virtual int AddEvent(const std::string& code, const std::string& body, int inventory_flags) = 0;
    // "SubmitEventDownloadSeveral": posts the batch.
    virtual int SubmitEventDownloadSeveral() = 0;
    // A text naming this installation, for the program's own messages.
    virtual std::string IdentifierText() = 0;
};

class CDataStatisticsImp final : public IDataStatisticsUser {
public:
    // `inventory` is built from these sources the first time a batch is sent.
    explicit CDataStatisticsImp(std::unique_ptr<FormPoster> poster = std::make_unique<CurlFormPoster>(),
                                std::optional<InventorySources> inventory = std::nullopt);

    int SetConfigFile(const std::string& path) override;
    int SetSessionId(const std::string& session_id) override;
    int AddEvent(const std::string& code, const std::string& body, int inventory_flags) override;
    int SubmitEventDownloadSeveral() override;
    std::string IdentifierText() override;

    void SetPostLimits(const PostLimits& limits);
    size_t BatchSize();
    uint64_t Sequence();

    // The form body for the batch as it stands (without posting), for tests.
    std::optional<std::string> BuildBatchBody();

private:
    struct Event {
        std::string code;
        std::string body;
        int flags;
    };
    const SystemInventory& Inventory();  // under mutex_
    // The configuration file, read again only when it changed; null when unreadable.
    const IniReader* Config();           // under mutex_
    std::optional<std::string> BuildBatchBodyLocked();

    std::mutex mutex_;
    std::unique_ptr<FormPoster> poster_;
    std::optional<InventorySources> inventory_sources_;
    std::unique_ptr<SystemInventory> inventory_;
    std::string config_path_ = "Serverlist.ini";
    std::shared_ptr<IniReader> config_;
    std::string config_stamp_;  // path, size and change time of the file config_ holds
    std::string session_id_;
    uint64_t sequence_ = 0;
    std::vector<Event> batch_;
    PostLimits limits_;
};

// The URLs of a section: "SubmitUrl", then "SubmitUrl1", "SubmitUrl2", ...
// up to the first missing or empty one.
std::vector<std::string> SubmitUrls(const IniReader& config, const std::string& section);

}  // namespace zl
