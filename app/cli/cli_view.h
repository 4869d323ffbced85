// What zephyrloader-cli shows: on a terminal a live status (state, overall
// progress, speed, size, one line and bar per file), otherwise plain lines;
// with --json one object per second and one per message and event.
#pragma once
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "app/app_services.h"
#include "app/controller.h"

namespace zl::app::cli {

class CliView final : public UserInterface {
public:
    CliView(bool json, std::optional<bool> answer, std::FILE* out = stdout, std::FILE* err = stderr);

    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    void OnEvent(const AppEvent& event) override;
    void Raise() override;

    // After start-up: the state it decided on and where the package goes.
    void ShowStart(const ControllerView& view, const std::string& save_path);
    // Once a second.
    void ShowStatus(const ControllerView& view);
    // The last lines: the outcome and exit code.
    void ShowEnd(const ControllerView& view, int exit_code, const std::string& why);
    // A plain note (not a message of the program's own).
    void Note(const std::string& text);

private:
    void Emit(const std::string& json_line);
    void ClearLive();

    std::mutex mutex_;
    bool json_;
    bool live_;
    std::optional<bool> answer_;
    std::FILE* out_;
    std::FILE* err_;
    int live_lines_ = 0;
    int last_plain_state_ = -1;
};

// A state as text for people ("downloading", "verifying", ...).
std::string StateText(int state);

}  // namespace zl::app::cli
