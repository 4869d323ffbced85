// zephyrloader: the downloader with its window.
#include <QApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/app_paths.h"
#include "app/controller.h"
#include "app/crash_dump.h"
#include "app/engine_port.h"
#include "app/live_services.h"
#include "app/opener.h"
#include "app/single_instance.h"
#include "app/window/main_window.h"
#include "app/window/qt_user_interface.h"
#include "app/window/skin.h"
#include "app/window/window_options.h"
#include "engine/base/clock.h"
#include "engine/base/version.h"
#include "engine/meta/atomic_file.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

int main(int argc, char** argv) {
    using namespace zl::app;
    using namespace zl::app::window;
    ProgramCommandLine command_line;
    // Help and version are answered before Qt starts, which needs a display.
    if (cli::CliCommandLine::AsksForHelpOrVersion(argc, argv)) {
        if (const std::optional<int> exit_code = command_line.Parse(argc, argv)) return *exit_code;
    }
    // Started from the menu, the current directory is whatever the launcher
    // gave (home, or "/"): the window's dumps go to the user's cache folder.
    const std::string dump_folder = CrashDumpFolder();
    zl::CreateDirectories(dump_folder);
    InstallCrashDumpWriter(dump_folder);
    QApplication app(argc, argv);  // takes Qt's own options out of argv
    if (const std::optional<int> exit_code = command_line.Parse(argc, argv)) return *exit_code;
    const ProgramOptions* options = &command_line.program;
    const cli::CliOptions& o = options->common;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::signal(SIGPIPE, SIG_IGN);
    // Message boxes may outlive a hidden window: only End() ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    if (ChineseFontFamily().isEmpty())
        std::fprintf(stderr, "zephyrloader: no font with Chinese glyphs is installed (fonts-wqy-microhei)\n");

    const PackageTable& table = BuiltInPackageTable();
    QtUserInterface ui(o.verify);
    SingleInstance instance(table.InstallationId(), [&ui](const std::string&) { ui.Raise(); });
    switch (instance.Acquire(CurrentDirectory())) {
        case SingleInstance::Result::kFirst:
            break;
        case SingleInstance::Result::kReplaced:
            std::fprintf(stderr, "zephyrloader: a running instance did not answer and was ended (pid %d)\n",
                         instance.ReplacedPid());
            break;
        case SingleInstance::Result::kHandedOver:
            std::fprintf(stderr, "zephyrloader: already running; it was asked to come to the front\n");
            return cli::kExitOk;
        case SingleInstance::Result::kOtherRunning:
            std::fprintf(stderr, "zephyrloader: another program holds this download's instance name\n");
            return cli::kExitFailed;
        case SingleInstance::Result::kError:
            std::fprintf(stderr, "zephyrloader: cannot make sure that only one instance runs\n");
            return cli::kExitFailed;
    }

    RealEngine engine;
    TelemetryEventChannel events;
    LivePortChooser ports(!o.no_upnp);
    CommandOpener opener(o.opener);
    CommandOpener folder_opener(options->folder_opener);
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
    AppController controller(table, settings,
                             ControllerServices{engine, events, ports, ui, opener, shutdown, zl::SystemClock()});

    WindowOptions window_options;
    window_options.screenshot = QString::fromStdString(options->screenshot);
    window_options.exit_when_done = o.exit_when_done;
    window_options.max_seconds = o.max_seconds;
    window_options.use_tray = !options->no_tray;
    window_options.autopilot = options->autopilot;
    MainWindow window(controller, zl::SystemClock(), ui, folder_opener, window_options);
    window.SetEndHandler([](int code) { QCoreApplication::exit(code); });
    QTimer interrupt_watch;
    QObject::connect(&interrupt_watch, &QTimer::timeout, &window, [&window] {
        if (g_interrupted) {
            std::fprintf(stderr, "zephyrloader: interrupted; progress is kept and the next start resumes\n");
            window.Quit(cli::kExitInterrupted);
        }
    });
    interrupt_watch.start(100);
    window.StartController();
    window.show();
    const int code = QApplication::exec();
    if (o.exit_when_done) {
        const int state = window.LastView().state;
        const char* name = StateName(state);
        std::fprintf(stderr, "zephyrloader: ended in state %d (%s), exit code %d\n", state, name ? name : "-", code);
    }
    return code;
}
