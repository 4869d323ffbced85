// Start-up: folders, the statistics configuration, the listening port, the
// connection setting and the decision whether to begin, resume or verify.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "app/app_events.h"
#include "app/app_log.h"
#include "app/controller.h"
#include "app/finish_info.h"
#include "app/limit_split.h"
#include "app/resume_decision.h"
#include "engine/meta/atomic_file.h"
#include "engine/meta/storage_layout_info.h"

namespace zl::app {
namespace {

constexpr char kTask[] = "ZephyrloaderTask";

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

template <size_t N>
bool CopyText(char (&field)[N], const std::string& text) {
    if (text.size() >= N) return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

AppController::AppController(const PackageTable& table, ControllerSettings settings, ControllerServices services)
    : table_(table), settings_(std::move(settings)), s_(services), resources_(settings_.resources_dir) {
    if (settings_.cwd.empty()) settings_.cwd = CurrentDirectory();
    if (!settings_.config_url.empty()) table_.config_url = settings_.config_url;
    if (!settings_.mirror_host.empty()) table_.mirror_host = settings_.mirror_host;
    folders_ = MakeAppFolders(settings_.data_root, table_.InstallationId(), settings_.cwd);
    auto_shutdown_ = settings_.auto_shutdown;
    speed_limit_kib_ = settings_.speed_limit_kib > 0 ? settings_.speed_limit_kib : kNoSpeedLimitStored;
}

AppController::~AppController() {
    stopping_ = true;
    JoinThreads();
}

std::string AppController::TargetPath(int i) const { return JoinPath(save_path_, table_.files[size_t(i)].name); }

std::string AppController::TaskInfoPath(int i) const {
    const std::string key = "ZephyrloaderDownloadInfo" + std::to_string(i);
    const std::string configured = ini_.GetString(kTask, key);
    if (!configured.empty()) return configured;
    return TaskInfoFolder(folders_.app_folder, task_hash_) + "/" + table_.files[size_t(i)].name + ".zlinfo";
}

std::string AppController::PrefixStatePath(int i) const { return TaskInfoPath(i) + ".md5"; }

std::string AppController::SavePath() const {
    std::lock_guard lock(m_);
    return save_path_;
}

void AppController::ReadConnectionSetting() {
    link_ini_.SetPath(folders_.link_ini);
    link_ini_.Load();
    server_total_ = ServerConnectionTotal(link_ini_.GetInt(kTask, "ZephyrloaderTaskLink", 0));
}

void AppController::ResetStoredSettings() {
    bytes_on_disk_ = 0;
    task_hash_ = table_.InstallationId();
    const std::string root = settings_.save_folder.empty() ? DefaultDownloadRoot() : settings_.save_folder;
    save_path_ = root.empty() ? "" : JoinPath(root, table_.folder_name);
    entrance_ = table_.files[0].name;
}

int AppController::StartUp() {
    std::unique_lock lock(m_);
    state_ = kStateBack;
    if (table_.SpaceNeeded() == 0) return -1;
    CreateDirectories(folders_.app_folder);
    s_.engine.LogOpen(folders_.log_base);
    AppLog("=====================正在初始化=====================");

    // The statistics configuration. Its failure cannot be reported as an
    // event (the uploader is not running), so it goes to a log file.
    const Extraction duconf = ExtractResource(resources_, "DUCONF", kTelemetryResourceId, folders_.app_folder,
                                              "dataupload.zlconf", true);
    if (duconf.result < 0) {
        AppLog("ZLconf资源释放失败", kLogFailure);
        return -2;
    }
    // The configuration INI is read before the uploader starts: it may name the CA file the posts trust.
    ini_.SetPath(folders_.ini_path);
    ResumeInputs in;
    in.ini_exists = ini_.Load();
    ca_file_ = !settings_.ca_file.empty() ? settings_.ca_file : ini_.GetString(kTask, "ZephyrloaderCaFile");
    s_.events.Start(duconf.path, settings_.version, ca_file_);

    const int32_t port = settings_.listen_port >= 0 ? settings_.listen_port : s_.ports.ChooseAndMap();
    s_.engine.SetListenPort(port);
    for (FileSlot& f : files_) f = FileSlot{};
    AppLog("自我恢复功能关闭");
    ReadConnectionSetting();

    if (!in.ini_exists) {
        ResetStoredSettings();
    } else {
        bool missing_time = false, missing_hash = false, missing_path = false, missing_entrance = false;
        missing_time = ini_.GetString(kTask, "ZephyrloaderTaskCreateTime").empty();
        const uint64_t high = uint64_t(ini_.GetInt(kTask, "ZephyrloaderTaskLastSizeHigh", 0));
        const uint64_t low = uint64_t(ini_.GetInt(kTask, "ZephyrloaderTaskLastSizeLow", 0));
        bytes_on_disk_ = high * (uint64_t(1) << 31) + low;
        // The hash names a folder inside the application folder and the
        // entrance a file inside the save folder: a name that would lead out
        // of them counts as missing.
        task_hash_ = ini_.GetString(kTask, "ZephyrloaderTaskHash");
        if (!IsPlainName(task_hash_)) {
            task_hash_ = table_.InstallationId();
            missing_hash = true;
        }
        save_path_ = ini_.GetString(kTask, "ZephyrloaderTaskSavePath");
        if (save_path_.empty()) {
            const std::string root = settings_.save_folder.empty() ? DefaultDownloadRoot() : settings_.save_folder;
            save_path_ = root.empty() ? "" : JoinPath(root, table_.folder_name);
            missing_path = true;
        }
        entrance_ = ini_.GetString(kTask, "ZephyrloaderTaskEntrence");
        if (!IsPlainName(entrance_)) {
            entrance_ = table_.files[0].name;
            missing_entrance = true;
        }
        folder_name_ = ini_.GetString(kTask, "ZephyrloaderTaskFloder");
        close_selection_ = int(ini_.GetInt(kTask, "ZephyrloaderCloseSelection", 0));
        in.all_keys_missing = missing_time && missing_hash && missing_path && missing_entrance;
        in.complete_flag = ini_.GetString(kTask, "ZephyrloaderTaskIsComplete") == "COMPLETE";
        for (int i = 0; i < kPackageFiles; ++i) {
            const size_t k = size_t(i);
            in.target_exists[k] = Exists(TargetPath(i));
            in.temp_exists[k] = Exists(TargetPath(i) + ".zltmp");
            in.unchanged[k] = FinishInfoUnchanged(ini_, i, StampOf(TargetPath(i)));
        }
    }
    const ResumeDecision d = DecideResume(in);
    if (!d.log.empty()) AppLog(d.log);
    if (d.delete_ini) {
        ::unlink(folders_.ini_path.c_str());
        ini_ = IniFile(folders_.ini_path);
        const std::string root = settings_.save_folder.empty() ? DefaultDownloadRoot() : settings_.save_folder;
        save_path_ = root.empty() ? "" : JoinPath(root, table_.folder_name);
    }
    if (!d.message.empty()) Message(d.message);
    state_ = d.state;
    if (settings_.prefix_hashing && !prefix_thread_.joinable())
        prefix_thread_ = std::thread([this] { PrefixHashRun(); });
    if (d.state == kStateRecover || d.state == kStateReload || d.state == kStateFinished) {
        LoadPrefixStates();
        Reload();
        return 1;
    }
    return 0;
}

bool AppController::CheckExpired() {
    const FetchResult r = FetchConfiguration(settings_.expiry_timeout_s);
    if (!r.ok) {
        AppLog("get XML content failed");
        return false;
    }
    const ExpiryNotice notice = ReadExpiry(r.body);
    if (!notice.expired) return false;
    std::lock_guard lock(m_);
    Message(notice.message);
    // The document is not authenticated: only a web page is ever opened from it.
    if (IsWebUrl(notice.url))
        s_.opener.Open(notice.url, settings_.cwd);
    else if (!notice.url.empty())
        AppLog("expiry url refused: " + notice.url, kLogFailure);
    return true;
}

bool AppController::SetSaveFolder(const std::string& folder) {
    std::lock_guard lock(m_);
    if (state_ != kStateBack && state_ != kStateReady) return false;
    save_path_ = JoinPath(folder, table_.folder_name);
    disk_warning_ = false;
    SetState(kStateReady);
    return true;
}

bool AppController::FillDescriptor(int i, bool on_reload) {
    FileSlot& f = files_[size_t(i)];
    f.descriptor = TaskDescriptor{};
    f.source_list = table_.DefaultUrl(i);
    f.descriptor.source_list = f.source_list.c_str();
    f.descriptor.flags = 0x100002;
    const PackageFile& file = table_.files[size_t(i)];
    const Extraction torrent = ExtractResource(resources_, "TORRENT", file.torrent_resource, folders_.app_folder,
                                               file.md5, false);
    if (torrent.result >= 0 && CopyText(f.descriptor.metainfo_location, "file://" + torrent.path)) {
        f.descriptor.flags |= kTaskFlagP2sp;
        if (const std::optional<std::string> bytes = ReadWholeFile(torrent.path, int64_t(64) << 20)) {
            std::string error;
            if (const std::optional<StorageLayout> layout = LayoutFromTorrent(*bytes, &error))
                f.piece_length = layout->piece_length;
        }
    } else {
        AppLog("Torent 资源释放失败");
        Report({on_reload ? kEventEngineStartFailed : kEventResourceNotExtracted, "Torent 资源释放失败", "", false, {}});
    }
    CreateDirectories(ParentDirectory(TaskInfoPath(i)));
    return CopyText(f.descriptor.target, TargetPath(i)) && CopyText(f.descriptor.resume_path, TaskInfoPath(i));
}

}  // namespace zl::app
