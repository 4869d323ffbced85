// What the controller needs from the world around it, each behind a small
// interface: the statistics channel, the listening port, the user, the
// opener that starts the installer and the shutdown of the machine.
#pragma once
#include <cstdint>
#include <string>

namespace zl::app {

// The figures attached to the events marked "statistics".
struct DownloadStatistics {
    uint32_t seconds = 0;  // downloading seconds of this session
    uint64_t total_bytes = 0, http_bytes = 0, peer_bytes = 0;
    uint64_t average = 0, http_average = 0, peer_average = 0;  // bytes per second, 0 without seconds
    std::string progress;                                       // "12.34%"
};

struct AppEvent {
    uint32_t code = 0;
    std::string text;
    std::string file;  // a target path, for the events that carry one
    bool with_statistics = false;
    DownloadStatistics statistics;
};

class EventChannel {
public:
    virtual ~EventChannel() = default;
    // Starts the uploader with the statistics configuration; the posts trust
    // `ca_file` (empty: the system's store). False when it cannot start.
    virtual bool Start(const std::string& config_path, const std::string& version, const std::string& ca_file) = 0;
    virtual void Report(const AppEvent& event) = 0;
    // Sends what is queued (briefly) and stops; called before the log closes.
    virtual void Stop() = 0;
};

class PortChooser {
public:
    virtual ~PortChooser() = default;
    // The port the engine should listen on, mapped on the gateway when it can
    // be; 0 for the engine's default.
    virtual int32_t ChooseAndMap() = 0;
};

class UserInterface {
public:
    virtual ~UserInterface() = default;
    // Shows a message without waiting for the user.
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
    // Asks and waits for the answer.
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    // Every statistics event, as it is reported.
    virtual void OnEvent(const AppEvent& event) { (void)event; }
    // A later start of the program asked this one to come to the front.
    virtual void Raise() {}
};

class Opener {
public:
    virtual ~Opener() = default;
    // Opens `path` with `workdir` as working directory; a result of 32 or
    // more is success, below 32 one of the shell's error numbers.
    virtual int Open(const std::string& path, const std::string& workdir) = 0;
};

class ShutdownAction {
public:
    virtual ~ShutdownAction() = default;
    // Schedules the machine's shutdown after `delay_seconds`; false on failure.
    virtual bool Schedule(const std::string& message, int delay_seconds) = 0;
};

}  // namespace zl::app
