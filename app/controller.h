// The application controller: runs the download of the four package files as
// one job. It decides at start whether to begin afresh, resume or verify,
// creates and reloads one engine task per file, watches progress, disk space
// and the engine's status codes, shares connections and the speed limit
// among the tasks, refreshes the mirror list, reports statistics events,
// verifies and repairs the finished files and starts the installer. It knows
// no window: a view drives it through MainAction, the two timer entries
// (StateUpdate every 100 ms, Tick every second) and reads View().
//
// Every public entry takes the controller's lock; the mirror fetch, the
// verification and the prefix hashing run on threads of their own that take
// it briefly. Engine calls lock themselves.
#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app_paths.h"
#include "app/app_services.h"
#include "app/app_state.h"
#include "app/engine_port.h"
#include "app/http_fetch.h"
#include "app/ini_file.h"
#include "app/package_table.h"
#include "app/prefix_md5.h"
#include "app/resources.h"
#include "app/server_config.h"
#include "engine/base/clock.h"

namespace zl::app {

inline constexpr char kCaption[] = "Talvora下载器";

struct ControllerSettings {
    std::string data_root;      // "" : $XDG_DATA_HOME
    std::string save_folder;    // the chosen folder (the save path is folder/TLV300); "" : the default rule
    std::string config_url;     // "" : the table's
    std::string mirror_host;    // "" : the table's
    std::string ca_file;        // certificates the configuration fetch and the statistics posts trust
                                // instead of the system's store; "" : the INI's ZephyrloaderCaFile, else the store
    std::string resources_dir;  // override folder for the built-in resources
    std::string cwd;            // "" : the current directory
    int32_t listen_port = -1;   // -1 : chosen (and mapped) by the port chooser
    int32_t speed_limit_kib = 0;
    bool auto_shutdown = false;
    std::string version = "1.0.0";
    int mirror_timeout_s = 30;          // the mirror list GET
    int expiry_timeout_s = 2;           // the expiry check at a fresh start
    int repair_stall_limit_s = 300;     // a repair without progress this long gives up
    int verify_threads = 0;             // 0 : as many as the machine has cores
    bool prefix_hashing = true;         // running MD5 of the verified prefix
};

struct ControllerServices {
    EnginePort& engine;
    EventChannel& events;
    PortChooser& ports;
    UserInterface& ui;
    Opener& opener;
    ShutdownAction& shutdown;
    Clock& clock;
    std::function<FetchResult(const std::string& url, long timeout_s, const std::string& ca_file)> fetch = HttpGet;
};

// How the last run of the program ended, as the CLI reports it.
enum class Outcome { kRunning, kInstallerLaunched, kVerified, kVerifyFailed, kBeginFailed, kDiskStopped };

struct FileView {
    std::string name;
    uint64_t size = 0;
    int32_t progress = 0;  // ten-thousandths
    int32_t speed = 0;
    int32_t status = 0;
    uint64_t downloaded = 0;
    bool complete = false;
    bool has_task = false;
    bool progress_ok = false;       // the last progress query of its task succeeded
    std::vector<uint8_t> bitfield;  // as last fetched by the tick
    int32_t bits = 0;
};

struct ControllerView {
    int state = 0;
    uint32_t progress = 0;  // ten-thousandths, over the package
    uint32_t speed = 0;     // displayed bytes per second
    uint64_t bytes_on_disk = 0;
    bool disk_warning = false;
    std::string speed_text, percent_text, size_text;
    std::array<FileView, kPackageFiles> files;
    int verify_file = 0;
    uint32_t verify_progress = 0;   // of the current file
    uint32_t verify_overall = 0;    // over the package
    uint32_t repair_progress = 0;
    uint32_t repair_speed = 0;
    bool repair_reported = false;   // the repair task has reported its progress
    bool repaired = false;          // a repair made a file match in this verification
    uint32_t session_seconds = 0;
    uint32_t ticks = 0;             // seconds ticked since start-up
    std::string save_path;
    int32_t speed_limit_kib = 0;    // 0 : none
    bool auto_shutdown = false;
    int close_selection = 0;
    bool exit_requested = false;
    Outcome outcome = Outcome::kRunning;
};

// What the close button or the exit dialog asks the window to do.
enum class CloseAction { kNone, kAsk, kMinimise, kExit };
// The close-button choice as the INI keeps it ("ZephyrloaderCloseSelection").
enum CloseSelection : int { kCloseAsk = 0, kCloseMinimise = 1, kCloseExit = 2 };

// What the folder button asks the window to do.
struct FolderRequest {
    enum Kind { kNone, kBrowse, kOpen } kind = kNone;
    std::string path;  // kBrowse: the folder to start in; kOpen: the folder to show
};

class AppController {
public:
    AppController(const PackageTable& table, ControllerSettings settings, ControllerServices services);
    AppController(const AppController&) = delete;
    AppController& operator=(const AppController&) = delete;
    ~AppController();

    // 1: a previous download was reloaded; 0: fresh start; -1: empty
    // package; -2: the statistics configuration could not be written.
    int StartUp();
    // At a fresh start: true when the server configuration says this program
    // has expired (the message was shown, the URL opened if it is a web URL).
    bool CheckExpired();

    void MainAction();
    void Verify(bool install_after);
    void SetSpeedLimit(int32_t kib);
    void SetAutoShutdown(bool on);
    // A chosen folder, only before a download begins: the save path becomes
    // folder/TLV300 and the state 1.
    bool SetSaveFolder(const std::string& folder);
    // The folder button: browse for a folder before a download begins, else
    // show the save folder (a message when there is none).
    FolderRequest FolderButton();
    // The close button by the close selection: 1 minimise, 2 exit (user-exit
    // is set), otherwise ask with the exit dialog.
    CloseAction CloseButton();
    // The exit dialog's answer (1 minimise, 2 exit); `remember` stores it as
    // the close selection.
    CloseAction ApplyCloseChoice(int choice, bool remember);

    void StateUpdate();  // every 100 ms
    void Tick();         // every second (the tick proper, the speed and the mirror refresh)

    // The three ways out; ExitLogging runs once, stops every thread, closes
    // the log and cleans the engine up.
    void SetUserExit();
    void ExitLogging();

    int State() const;
    ControllerView View() const;
    Outcome GetOutcome() const;
    bool InstallerLaunched() const;
    // Set once the program should end (the installer was started).
    bool ExitRequested() const;
    std::string SavePath() const;
    const AppFolders& Folders() const { return folders_; }
    // Waits until the mirror fetch and the verification have ended (tests).
    void WaitForBackgroundWork();

private:
    struct FileSlot {
        TaskDescriptor descriptor;
        std::string source_list;
        TaskHandle handle = nullptr;
        bool complete = false;
        bool changed = false;
        uint64_t http_bytes = 0, peer_bytes = 0, downloaded = 0;
        int32_t progress = 0, speed = 0, status = 0;
        int32_t last_status = 0;  // the last status code that got its reaction
        bool progress_ok = false;
        std::vector<uint8_t> bitfield;
        int32_t bits = 0;
        int64_t piece_length = 0;  // from the torrent; 0 without one
    };

    // --- start-up and configuration (controller_startup.cpp)
    void ReadConnectionSetting();
    std::string TargetPath(int i) const;
    std::string TaskInfoPath(int i) const;
    std::string PrefixStatePath(int i) const;
    void ResetStoredSettings();
    bool FillDescriptor(int i, bool on_reload);

    // --- the download (controller.cpp)
    void SetState(int state);
    void Message(const std::string& text);
    void Report(AppEvent event);
    void ReportStatistics(uint32_t code, const std::string& text = "");
    DownloadStatistics Statistics() const;
    bool Begin();
    void MarkStart();
    bool CreateTasks();
    void Reload();
    void Pause(bool with_event);
    void Resume();
    int32_t ActiveTasks();
    void ApplySpeedLimit();
    void DistributeConnections(int32_t active);
    void HandleCompletion(int i);
    void StatusReaction(int i, int32_t status);
    void FreeSpaceWatch();
    void OnStateEntered(int state);
    void RefreshSpeed();
    void SaveIni();
    void WriteLastSize(uint64_t bytes);

    // --- mirrors (controller_mirrors.cpp)
    void StartMirrorFetch();
    void MirrorFetchRun();
    // The configuration document; a refused certificate is logged and reported (m_ not held).
    FetchResult FetchConfiguration(long timeout_s);

    // --- verification and repair (controller_verify.cpp)
    void VerifyRun();
    bool RepairRound(int i);
    std::string ComputeMd5(int i, std::atomic<uint32_t>* progress);
    void PrefixHashRun();
    void SavePrefixStates();
    void LoadPrefixStates();
    void JoinThreads();
    uint32_t OverallVerifyProgress() const;

    // --- install, exit, shutdown (controller_install.cpp)
    void AskInstall();
    void Install(bool verified);
    void AutoShutdown();

    PackageTable table_;
    ControllerSettings settings_;
    ControllerServices s_;
    ResourceStore resources_;
    AppFolders folders_;
    IniFile ini_;
    IniFile link_ini_;
    std::string ca_file_;  // settings_.ca_file, else the INI's ZephyrloaderCaFile (set at start-up)

    mutable std::mutex m_;
    std::array<FileSlot, kPackageFiles> files_;
    std::atomic<int> state_{kStateBack};
    int logged_state_ = -1;
    bool disk_warning_ = false;
    bool sparse_watch_ = false;
    bool session_tasks_ = false;
    bool engine_started_ = false;
    uint32_t progress_ = 0;
    uint64_t bytes_on_disk_ = 0;
    uint64_t last_written_size_ = UINT64_MAX;
    uint32_t tick_counter_ = 0;
    uint32_t session_seconds_ = 0;
    int64_t download_time_written_ = -1;
    uint32_t displayed_speed_ = 0;
    int32_t speed_limit_kib_ = kNoSpeedLimitStored;
    int32_t server_total_ = 36;
    int32_t last_active_ = -1, last_server_total_ = -1;
    bool auto_shutdown_ = false;
    bool p2p_ = false;
    uint32_t mirror_seconds_ = 0;
    std::string save_path_;
    std::string task_hash_;
    std::string entrance_;
    std::string folder_name_;
    int close_selection_ = 0;

    // verification
    std::atomic<int> verify_file_{0};
    std::array<std::atomic<uint32_t>, kPackageFiles> verify_progress_{};
    std::atomic<uint32_t> repair_progress_{0}, repair_speed_{0};
    std::atomic<bool> repair_reported_{false};
    bool repaired_ = false;
    uint32_t ticks_ = 0;
    std::atomic<int> verifying_file_{-1};
    std::atomic<bool> verify_cancel_{false};
    bool install_after_verify_ = false;
    bool pending_install_ = false;
    std::string last_bad_md5_;
    Outcome outcome_ = Outcome::kRunning;

    // prefix hashing: one lock per file, taken by the hashing thread and by verification
    std::array<PrefixMd5, kPackageFiles> prefix_;
    std::array<std::mutex, kPackageFiles> prefix_locks_;
    std::atomic<bool> prefix_paused_{false};

    // install and exit
    bool user_exit_ = false;
    bool installer_launched_ = false;
    std::atomic<bool> exit_requested_{false};
    bool exit_logged_ = false;

    // threads
    std::atomic<bool> stopping_{false};
    std::atomic<bool> mirror_busy_{false};
    std::thread mirror_thread_;
    std::thread verify_thread_;
    std::thread prefix_thread_;
    std::mutex prefix_wake_mutex_;
    std::condition_variable prefix_wake_;

    static constexpr int32_t kNoSpeedLimitStored = 32767;
};

}  // namespace zl::app
