// zephyrloader-cli: the downloader without a window. The same controller as
// the window, driven by a loop that plays the two timers and the user's
// button presses: begin, then install (with or without verification).
#include <csignal>
#include <cstdio>
#include <thread>

#include "app/cli/cli_options.h"
#include "app/cli/cli_view.h"
#include "app/controller.h"
#include "app/crash_dump.h"
#include "app/live_services.h"
#include "app/engine_port.h"
#include "app/opener.h"
#include "app/single_instance.h"
#include "engine/base/clock.h"
#include "engine/base/version.h"
#include "engine/core/api/engine_codes.h"

namespace zl::app::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

// Statuses after which a task does nothing more by itself.
bool Ended(int32_t status) {
    return status == STATUS_TIMED_OUT || status == STATUS_METAINFO_FAILED || status == STATUS_DOWNLOAD_ERROR ||
           status == STATUS_WRITE_FAILED || status == STATUS_DISK_FULL;
}

int Run(const CliOptions& o) {
    const PackageTable& table = BuiltInPackageTable();
    CliView view(o.json, o.verify);

    SingleInstance instance(table.InstallationId(), [&](const std::string&) { view.Raise(); });
    switch (instance.Acquire(CurrentDirectory())) {
        case SingleInstance::Result::kFirst:
            break;
        case SingleInstance::Result::kReplaced:
            view.Note("a running instance did not answer and was ended (pid " + std::to_string(instance.ReplacedPid()) +
                      ")");
            break;
        case SingleInstance::Result::kHandedOver:
            // This run downloaded and verified nothing: a script must not read success.
            view.Note("Zephyrloader is already running; it was asked to come to the front");
            return kExitNotBegun;
        case SingleInstance::Result::kOtherRunning:
            view.Note("another program holds this download's instance name and does not answer");
            return kExitFailed;
        case SingleInstance::Result::kError:
            view.Note("cannot make sure that only one instance runs");
            return kExitFailed;
    }

    RealEngine engine;
    TelemetryEventChannel events;
    // --listen-port bypasses the choice; --no-upnp chooses without a gateway mapping.
    LivePortChooser ports(!o.no_upnp);
    CommandOpener opener(o.opener);
    CommandShutdown shutdown(o.shutdown_cmd);
    ControllerSettings settings;
    settings.data_root = o.app_data;
    settings.save_folder = o.save_dir;
    settings.config_url = o.config_url;
    settings.mirror_host = o.mirror_host;
    settings.ca_file = o.ca_file;
    settings.resources_dir = o.resources;
    settings.listen_port = o.listen_port;
    settings.speed_limit_kib = o.speed_limit_kib;
    settings.auto_shutdown = o.auto_shutdown;
    settings.version = ZL_VERSION_STRING;
    AppController c(table, settings, ControllerServices{engine, events, ports, view, opener, shutdown, SystemClock()});

    const int started = c.StartUp();
    if (started == -1) {
        view.Note("the built-in package table is empty");
        return kExitFailed;
    }
    if (started == -2) {
        view.Note("the statistics configuration could not be written");
        return kExitFailed;
    }
    view.ShowStart(c.View(), c.SavePath());
    int code = -1;
    std::string why;
    if (started == 0 && c.CheckExpired()) {
        code = kExitNotBegun;
        why = "this downloader has expired";
    }
    if (code < 0 && (c.State() == kStateReady || c.State() == kStateBack)) {
        if (!o.save_dir.empty()) c.SetSaveFolder(o.save_dir);
        c.MainAction();
        if (c.GetOutcome() == Outcome::kBeginFailed) {
            code = kExitNotBegun;
            why = "the download could not begin";
        }
    } else if (code < 0 && !o.save_dir.empty() && c.SavePath().rfind(o.save_dir, 0) != 0) {
        view.Note("resuming the earlier download in " + c.SavePath() + " (--save-dir applies to a new download)");
    }

    const auto begin = std::chrono::steady_clock::now();
    auto next_tick = begin + std::chrono::seconds(1);
    bool asked = false;
    while (code < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.StateUpdate();
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_tick) {
            next_tick += std::chrono::seconds(1);
            c.Tick();
            view.ShowStatus(c.View());
        }
        const int state = c.State();
        const Outcome outcome = c.GetOutcome();
        if (g_interrupted) {
            code = kExitInterrupted;
            why = "interrupted; progress is kept and the next start resumes";
        } else if (c.ExitRequested()) {
            code = kExitOk;
            why = "the installer was started";
        } else if (outcome == Outcome::kVerifyFailed) {
            code = kExitVerifyFailed;
            why = "verification failed";
        } else if (state == kStateFailed) {
            code = kExitFailed;
            why = "the download failed";
        } else if (outcome == Outcome::kDiskStopped) {
            code = kExitFailed;
            why = "stopped: the disk is full; progress is kept";
        } else if (state == kStateCheckFinished && o.exit_when_done) {
            code = kExitOk;
            why = "the package is verified";
        } else if (state == kStateFinished && !asked) {
            asked = true;
            if (o.exit_when_done && o.verify != true) {
                code = kExitOk;
                why = "the package is complete";
            } else if (o.exit_when_done) {
                c.Verify(false);
            } else {
                c.MainAction();  // the install question
            }
        } else if (o.max_seconds > 0 && now - begin >= std::chrono::seconds(o.max_seconds)) {
            code = kExitTimeLimit;
            why = "time limit reached; progress is kept and the next start resumes";
        } else if (IsDownloadingState(state)) {
            const ControllerView v = c.View();
            bool all_ended = true, any_task = false;
            for (const FileView& f : v.files) {
                if (f.complete || !f.has_task) continue;
                any_task = true;
                all_ended = all_ended && Ended(f.status);
            }
            if (any_task && all_ended) {
                code = kExitFailed;
                why = "no source could deliver the package; progress is kept";
            }
        }
    }
    if (!c.InstallerLaunched()) c.SetUserExit();
    c.ExitLogging();
    view.ShowEnd(c.View(), code, why);
    return code;
}

}  // namespace
}  // namespace zl::app::cli

int main(int argc, char** argv) {
    using namespace zl::app::cli;
    CliProgramCommandLine command_line;
    if (const std::optional<int> exit_code = command_line.Parse(argc, argv)) return *exit_code;
    zl::app::InstallCrashDumpWriter();
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::signal(SIGPIPE, SIG_IGN);
    return Run(command_line.options);
}
