// The controller's user interface in Qt. The controller calls it from its own
// thread; every dialog is posted to the window's thread. Messages do not wait;
// a question waits for the user's answer (or the preset one).
#pragma once
#include <QPointer>
#include <QWidget>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/app_services.h"

namespace zl::app::window {

class QtUserInterface final : public UserInterface {
public:
    // `answer`: the answer to every question, asked of nobody (--verify).
    explicit QtUserInterface(std::optional<bool> answer = std::nullopt) : preset_(answer) {}

    // The window that owns the dialogs and receives the posts.
    void SetWindow(QWidget* window) { window_ = window; }
    // Runs on the window's thread when a later start asks this one to come forward.
    void SetRaiseHandler(std::function<void()> raise) { raise_ = std::move(raise); }

    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    void Raise() override;

    // The program is ending: a question still open is answered "yes" (the
    // check, which ends with the program, rather than the installer), and so
    // is every later one.
    void Cancel();

private:
    struct Pending {
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<bool> answer;
        void Give(bool yes);
    };
    QObject* Context() const;

    std::optional<bool> preset_;
    QPointer<QWidget> window_;
    std::function<void()> raise_;
    std::mutex mutex_;
    bool cancelled_ = false;
    std::vector<std::shared_ptr<Pending>> pending_;
};

// "\r\n" as the platform's line break.
QString MessageText(const std::string& text);

}  // namespace zl::app::window
