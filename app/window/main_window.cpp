#include "app/window/main_window.h"

#include <QAction>
#include <QBitmap>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>
#include <cstdio>

#include "app/cli/cli_options.h"
#include "app/window/art/art.h"
#include "app/window/exit_dialog.h"
#include "app/window/file_list.h"
#include "app/window/settings_dialog.h"
#include "app/window/skin.h"
#include "app/window/window_geometry.h"

namespace zl::app::window {
namespace {

QRect Q(const Box& b) { return QRect(b.x, b.y, b.w, b.h); }

QRgb KeyColour() { return qRgb((kKeyColour >> 16) & 0xFF, (kKeyColour >> 8) & 0xFF, kKeyColour & 0xFF); }

QPixmap Art(const unsigned char* bytes, size_t size) {
    QPixmap pixmap;
    pixmap.loadFromData(bytes, uint(size), "PNG");
    return pixmap;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const Box& box, const QColor& colour, int pixels,
                  Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter, bool bold = false) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromUtf8(name));
    label->setGeometry(Q(box));
    label->setFont(SkinFont(pixels, bold));
    label->setAlignment(align);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

}  // namespace

MainWindow::MainWindow(AppController& controller, Clock& clock, QtUserInterface& ui, Opener& folder_opener,
                       WindowOptions options)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint),
      c_(controller),
      ui_(ui),
      folder_opener_(folder_opener),
      options_(std::move(options)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QString::fromUtf8(kCaption));
    background_ = Art(art::kBackground, art::kBackgroundSize);
    background_expanded_ = Art(art::kBackgroundExpanded, art::kBackgroundExpandedSize);
    icon_.loadFromData(art::kIcon, int(art::kIconSize), "PNG");
    setWindowIcon(QIcon(QPixmap::fromImage(icon_)));
    setFixedSize(kWidth, kHeight);
    setFocusPolicy(Qt::StrongFocus);
    BuildControls();
    ApplyShape();
    ShowPage(false);

    ui_.SetWindow(this);
    ui_.SetRaiseHandler([this] { BringForward(); });
    driver_ = std::make_unique<ControllerDriver>(c_, clock, [this](const ControllerView& v) {
        OnGui([this, v] { Present(v); });
    });

    if (options_.use_tray && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(QIcon(QPixmap::fromImage(icon_)), this);
        tray_->setToolTip(QString::fromUtf8(kCaption));
        auto* menu = new QMenu(this);
        QAction* quit = menu->addAction(QStringLiteral("退出(&X)"));
        connect(quit, &QAction::triggered, this, [this] { End(cli::kExitOk, true); });
        tray_->setContextMenu(menu);
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) BringForward();
        });
    }
    if (!options_.screenshot.isEmpty()) {
        screenshot_timer_ = new QTimer(this);
        connect(screenshot_timer_, &QTimer::timeout, this, [this] { SaveScreenshot(options_.screenshot); });
        screenshot_timer_->start(1000);
    }
    if (options_.max_seconds > 0)
        QTimer::singleShot(options_.max_seconds * 1000, this, [this] { End(cli::kExitTimeLimit, true); });
}

MainWindow::~MainWindow() {
    ui_.Cancel();
    driver_->Stop();
}

void MainWindow::BuildControls() {
    location_label_ = MakeLabel(this, "locationLabel", kLocationLabel, colour::kMuted, 12);
    location_label_->setText(QStringLiteral("保存位置:"));
    location_ = new ElidedLabel(this);
    location_->setObjectName(QStringLiteral("locationText"));
    location_->setGeometry(Q(kLocationText));
    location_->setFont(SkinFont(12));
    QPalette palette = location_->palette();
    palette.setColor(QPalette::WindowText, colour::kText);
    location_->setPalette(palette);

    progress_label_ = MakeLabel(this, "progressLabel", kProgressLabel, colour::kMuted, 12);
    progress_value_ = MakeLabel(this, "progressValue", kProgressValue, colour::kGold, 13, Qt::AlignLeft | Qt::AlignVCenter, true);
    speed_ = MakeLabel(this, "speedText", kSpeedText, colour::kAccent, 12, Qt::AlignRight | Qt::AlignVCenter);
    status_ = MakeLabel(this, "statusText", kStatusText, colour::kText, 12);
    bar_ = new ProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->setGeometry(Q(kProgressBar));

    auto button = [this](SkinButton::Kind kind, const char* name, const Box& box, const QString& tip) {
        auto* b = new SkinButton(kind, this);
        b->setObjectName(QString::fromUtf8(name));
        b->setGeometry(Q(box));
        b->setToolTip(tip);
        return b;
    };
    main_ = button(SkinButton::Kind::kPrimary, "mainButton", kMainButton, {});
    main_->SetFontPixels(14);
    start_ = button(SkinButton::Kind::kPrimary, "startButton", kStartButton, {});
    start_->SetFontPixels(17);
    start_->setText(QStringLiteral("开始下载"));
    folder_ = button(SkinButton::Kind::kOutline, "folderButton", kFolderButton, {});
    folder_->SetFontPixels(12);
    folder_->setText(QStringLiteral("更改目录"));
    settings_ = button(SkinButton::Kind::kSettings, "settingsButton", kSettingsButton, QStringLiteral("设置"));
    minimise_ = button(SkinButton::Kind::kMinimise, "minimiseButton", kMinimiseButton, QStringLiteral("最小化"));
    close_ = button(SkinButton::Kind::kClose, "closeButton", kCloseButton, QStringLiteral("关闭"));
    toggle_ = button(SkinButton::Kind::kToggle, "detailsToggle", kDetailsToggle, QStringLiteral("详细信息"));

    files_ = new FileList(this);
    files_->setObjectName(QStringLiteral("fileList"));
    files_->setGeometry(Q(kFileList));
    files_->setVisible(false);

    connect(main_, &QAbstractButton::clicked, this, [this] { OnMainButton(false); });
    connect(start_, &QAbstractButton::clicked, this, [this] { OnMainButton(true); });
    connect(folder_, &QAbstractButton::clicked, this, [this] { OnFolderButton(); });
    connect(settings_, &QAbstractButton::clicked, this, [this] { OnSettingsButton(); });
    connect(minimise_, &QAbstractButton::clicked, this, [this] { showMinimized(); });
    connect(close_, &QAbstractButton::clicked, this, [this] { OnCloseButton(); });
    connect(toggle_, &QAbstractButton::clicked, this, [this] { ToggleDetails(); });
}

void MainWindow::StartDriver(ControllerDriver::Command first) { driver_->Start(std::move(first)); }

void MainWindow::StartController() {
    StartDriver([this](AppController& c) {
        const int started = c.StartUp();
        const bool expired = started == 0 && c.CheckExpired();
        if (started >= 0 && !expired) return;
        OnGui([this, started, expired] {
            if (started == -1) std::fprintf(stderr, "zephyrloader: the built-in package table is empty\n");
            if (started == -2) std::fprintf(stderr, "zephyrloader: the statistics configuration could not be written\n");
            End(expired ? cli::kExitNotBegun : cli::kExitFailed, true);
        });
    });
}

void MainWindow::Post(ControllerDriver::Command command) { driver_->Post(std::move(command)); }

void MainWindow::OnGui(std::function<void()> fn) { QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection); }

// ---- what is shown ----------------------------------------------------------

void MainWindow::Present(const ControllerView& v) {
    if (ended_) return;
    view_ = v;
    texts_ = MakeWindowTexts(v);
    location_->SetFullText(QString::fromStdString(texts_.location));
    progress_label_->setText(QString::fromStdString(texts_.progress_label));
    progress_value_->setText(QString::fromStdString(texts_.progress_value));
    speed_->setText(QString::fromStdString(texts_.speed));
    if (texts_.status) {
        status_->setText(QString::fromStdString(*texts_.status));
        QPalette palette = status_->palette();
        palette.setColor(QPalette::WindowText, status_->text().startsWith(QChar(u'√')) ? colour::kSuccess : colour::kText);
        status_->setPalette(palette);
    }
    bar_->SetValue(texts_.progress);
    files_->SetRows(texts_, v);
    main_->setText(QString::fromStdString(texts_.main_button));
    main_->setEnabled(texts_.main_enabled);
    folder_->setText(QString::fromStdString(texts_.folder_button));
    if (!download_page_ && v.state != kStateBack && v.state != kStateReady) ShowPage(true);
    if (v.exit_requested) {
        End(cli::kExitOk, false);  // the installer was started
        return;
    }
    if (options_.exit_when_done) CheckUnattended(v);
    if (options_.autopilot && !autopilot_began_ && (v.state == kStateBack || v.state == kStateReady)) {
        autopilot_began_ = true;
        OnMainButton(true);
    } else if (options_.autopilot && !autopilot_installed_ && v.state == kStateFinished && !options_.exit_when_done) {
        autopilot_installed_ = true;
        OnMainButton(false);
    }
}

void MainWindow::CheckUnattended(const ControllerView& v) {
    if (v.outcome == Outcome::kVerifyFailed)
        End(cli::kExitVerifyFailed, true);
    else if (v.state == kStateFailed || v.outcome == Outcome::kDiskStopped)
        End(cli::kExitFailed, true);
    else if (v.outcome == Outcome::kBeginFailed)
        End(cli::kExitNotBegun, true);
    else if (v.state == kStateCheckFinished)
        End(cli::kExitOk, true);
    else if (v.state == kStateFinished && !asked_to_verify_) {
        asked_to_verify_ = true;
        Post([](AppController& c) { c.Verify(false); });
    }
}

void MainWindow::ShowPage(bool download) {
    download_page_ = download;
    for (QWidget* w : std::initializer_list<QWidget*>{progress_label_, progress_value_, speed_, status_, bar_, main_})
        w->setVisible(download);
    start_->setVisible(!download);
    update();
}

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawPixmap(0, 0, expanded_ ? background_expanded_ : background_);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(Q(kTitleIcon), icon_);
    p.setFont(SkinFont(14, true));
    p.setPen(QColor(0, 0, 0, 150));
    p.drawText(Q(kTitleText).translated(0, 1), Qt::AlignLeft | Qt::AlignVCenter, windowTitle());
    p.setPen(QColor(246, 226, 180));
    p.drawText(Q(kTitleText), Qt::AlignLeft | Qt::AlignVCenter, windowTitle());
}

void MainWindow::ApplyShape() {
    // Qt's offscreen platform has no shaped windows; its pictures are cut by Render().
    if (QGuiApplication::platformName() == QStringLiteral("offscreen")) return;
    const QPixmap& art = expanded_ ? background_expanded_ : background_;
    setMask(QBitmap::fromImage(art.toImage().createMaskFromColor(KeyColour(), Qt::MaskInColor)));
}

void MainWindow::ToggleDetails() {
    expanded_ = !expanded_;
    toggle_->setChecked(expanded_);
    setFixedSize(kWidth, kHeight + (expanded_ ? kDetailsHeight : 0));
    files_->setVisible(expanded_);
    ApplyShape();
    update();
}

QImage MainWindow::Render() {
    QImage shot = grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage art = (expanded_ ? background_expanded_ : background_).toImage();
    const QRgb key = KeyColour();
    for (int y = 0; y < std::min(shot.height(), art.height()); ++y)
        for (int x = 0; x < std::min(shot.width(), art.width()); ++x)
            if ((art.pixel(x, y) & 0xFFFFFF) == (key & 0xFFFFFF)) shot.setPixel(x, y, qRgba(0, 0, 0, 0));
    return shot;
}

bool MainWindow::SaveScreenshot(const QString& path) {
    // Written beside and renamed, so a reader never sees half a picture.
    const QString partial = path + QStringLiteral(".part");
    if (!Render().save(partial, "PNG")) return false;
    return std::rename(partial.toLocal8Bit().constData(), path.toLocal8Bit().constData()) == 0;
}

// ---- presses ------------------------------------------------------------------

void MainWindow::OnMainButton(bool start_page) {
    Post([this, start_page](AppController& c) {
        c.MainAction();
        if (!start_page) return;
        // After the start button the download page shows unless the disk is too full.
        const bool warning = c.View().disk_warning;
        OnGui([this, warning] {
            if (!warning && !download_page_) ShowPage(true);
        });
    });
}

void MainWindow::OnFolderButton() {
    Post([this](AppController& c) {
        const FolderRequest r = c.FolderButton();
        if (r.kind == FolderRequest::kOpen) folder_opener_.Open(r.path, r.path);
        if (r.kind != FolderRequest::kBrowse) return;
        OnGui([this, start = QString::fromStdString(r.path)] {
            auto* dialog = new QFileDialog(this, QStringLiteral("请选择安装包存放目录:"), start);
            dialog->setObjectName(QStringLiteral("folderDialog"));
            dialog->setFileMode(QFileDialog::Directory);
            dialog->setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
            connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
            connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& folder) {
                if (folder.isEmpty()) return;
                Post([folder = folder.toStdString()](AppController& a) { a.SetSaveFolder(folder); });
            });
            dialog->open();
        });
    });
}

void MainWindow::OnSettingsButton() {
    for (SettingsDialog* open : findChildren<SettingsDialog*>()) {
        if (!open->isVisible()) continue;
        open->raise();
        return;
    }
    auto* dialog = new SettingsDialog(this, view_.speed_limit_kib, view_.auto_shutdown, [this](int32_t kib, bool off) {
        Post([kib, off](AppController& c) {
            c.SetSpeedLimit(kib);
            c.SetAutoShutdown(off);
        });
    });
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

void MainWindow::OnCloseButton() {
    Post([this](AppController& c) {
        const CloseAction action = c.CloseButton();
        OnGui([this, action] { ApplyClose(action); });
    });
}

void MainWindow::ApplyClose(CloseAction action) {
    switch (action) {
        case CloseAction::kAsk: {
            for (ExitDialog* open : findChildren<ExitDialog*>())
                if (open->isVisible()) return;
            auto* dialog = new ExitDialog(this, [this](int choice, bool remember) {
                Post([this, choice, remember](AppController& c) {
                    const CloseAction chosen = c.ApplyCloseChoice(choice, remember);
                    OnGui([this, chosen] { ApplyClose(chosen); });
                });
            });
            connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
            dialog->open();
            break;
        }
        case CloseAction::kMinimise:
            MinimiseToTray();
            break;
        case CloseAction::kExit:
            End(cli::kExitOk, true);
            break;
        case CloseAction::kNone:
            break;
    }
}

void MainWindow::MinimiseToTray() {
    if (!tray_) {  // no notification area: an ordinary minimise
        showMinimized();
        return;
    }
    hide();
    tray_->show();
}

void MainWindow::BringForward() {
    if (ended_) return;
    if (tray_) tray_->hide();
    showNormal();
    raise();
    activateWindow();
}

// ---- the frame ------------------------------------------------------------------

void MainWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && Q(kTitleStrip).contains(event->position().toPoint())) {
        if (windowHandle() && windowHandle()->startSystemMove()) return;
        drag_from_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
        return;
    }
    QWidget::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (drag_from_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - *drag_from_);
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
    drag_from_.reset();
    QWidget::mouseReleaseEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Escape and Enter do nothing here: they never close the window.
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (ended_) {
        event->accept();
        return;
    }
    // Closed from outside (the desktop's close): as the close button.
    event->ignore();
    OnCloseButton();
}

void MainWindow::End(int code, bool user_exit) {
    if (ended_) return;
    if (!options_.screenshot.isEmpty()) SaveScreenshot(options_.screenshot);
    ended_ = true;
    exit_code_ = code;
    if (screenshot_timer_) screenshot_timer_->stop();
    hide();
    if (tray_) tray_->hide();
    ui_.Cancel();
    auto last = [user_exit](AppController& c) {
        if (user_exit) c.SetUserExit();
        c.ExitLogging();
    };
    if (driver_->Running()) {
        driver_->Post(last);
        driver_->Stop();
    } else {
        last(c_);
    }
    if (on_end_) on_end_(code);
}

}  // namespace zl::app::window
