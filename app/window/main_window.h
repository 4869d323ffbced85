// The main window: a fixed-size frameless window cut to the shape of its
// art, showing the controller's texts and forwarding the presses. It owns the
// driver that runs the controller's timers and presses on a thread of its
// own; snapshots come back as queued calls, so nothing here waits for the
// controller.
#pragma once
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "app/controller.h"
#include "app/controller_driver.h"
#include "app/window/qt_user_interface.h"
#include "app/window_texts.h"

class QLabel;
class QSystemTrayIcon;
class QTimer;

namespace zl::app::window {

class ElidedLabel;
class FileList;
class ProgressBar;
class SkinButton;

struct WindowOptions {
    QString screenshot;          // a PNG of the window, rewritten every second and at the end
    bool exit_when_done = false;  // verify a complete package and end once it is verified
    int max_seconds = 0;          // 0: no time limit
    bool use_tray = true;         // false: the close button's "minimise" minimises
    // Presses what a user would: the start button once the program is up,
    // and the main button once the package is complete (for demonstrations).
    bool autopilot = false;
};

class MainWindow final : public QWidget {
    Q_OBJECT

public:
    MainWindow(AppController& controller, Clock& clock, QtUserInterface& ui, Opener& folder_opener,
               WindowOptions options = {});
    ~MainWindow() override;

    // Starts the controller: start-up (and at a fresh start the expiry check)
    // on the driver's thread, then the timers.
    void StartController();
    // Starts the driver with `first` instead (tests).
    void StartDriver(ControllerDriver::Command first);
    ControllerDriver& Driver() { return *driver_; }

    // Called with the program's exit code once the window has ended.
    void SetEndHandler(std::function<void(int)> on_end) { on_end_ = std::move(on_end); }
    bool Ended() const { return ended_; }
    // Ends the program as the user's exit (an interrupt, a time limit).
    void Quit(int code) { End(code, true); }
    int ExitCode() const { return exit_code_; }

    // Draws one snapshot (posted by the driver).
    void Present(const ControllerView& view);
    const WindowTexts& Texts() const { return texts_; }
    const ControllerView& LastView() const { return view_; }
    bool DetailsExpanded() const { return expanded_; }
    bool OnDownloadPage() const { return download_page_; }
    QSystemTrayIcon* Tray() const { return tray_; }

    // The window as it stands, transparent outside its shape.
    QImage Render();
    bool SaveScreenshot(const QString& path);
    // A later start of the program asked this one to come forward.
    void BringForward();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void Post(ControllerDriver::Command command);
    // Runs `fn` on the window's thread (from the driver's).
    void OnGui(std::function<void()> fn);

    void OnMainButton(bool start_page);
    void OnFolderButton();
    void OnSettingsButton();
    void OnCloseButton();
    void ApplyClose(CloseAction action);
    void MinimiseToTray();
    void ToggleDetails();
    void ApplyShape();
    void ShowPage(bool download);
    void End(int code, bool user_exit);
    void CheckUnattended(const ControllerView& v);

    AppController& c_;
    QtUserInterface& ui_;
    Opener& folder_opener_;
    WindowOptions options_;
    std::unique_ptr<ControllerDriver> driver_;

    QPixmap background_, background_expanded_;
    QImage icon_;
    bool expanded_ = false;
    bool download_page_ = false;
    std::optional<QPoint> drag_from_;

    ElidedLabel* location_ = nullptr;
    QLabel* location_label_ = nullptr;
    QLabel* progress_label_ = nullptr;
    QLabel* progress_value_ = nullptr;
    QLabel* speed_ = nullptr;
    QLabel* status_ = nullptr;
    ProgressBar* bar_ = nullptr;
    FileList* files_ = nullptr;
    SkinButton* main_ = nullptr;
    SkinButton* start_ = nullptr;
    SkinButton* folder_ = nullptr;
    SkinButton* settings_ = nullptr;
    SkinButton* minimise_ = nullptr;
    SkinButton* close_ = nullptr;
    SkinButton* toggle_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* screenshot_timer_ = nullptr;

    ControllerView view_;
    WindowTexts texts_;
    bool asked_to_verify_ = false;
    bool autopilot_began_ = false, autopilot_installed_ = false;
    bool ended_ = false;
    int exit_code_ = 0;
    std::function<void(int)> on_end_;
};

}  // namespace zl::app::window
