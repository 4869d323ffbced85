// The main window on the scripted engine and a manual fake clock, through
// its real buttons and dialogs on Qt's offscreen platform: the routing of
// each button by state, the texts of every state, the settings dialog, the
// close selections, the details toggle, Escape and Enter, the drag strip, and
// screenshots of the states a person sees most (kept in the build folder).
#include <QAbstractButton>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <filesystem>
#include <memory>

#include "app/window/exit_dialog.h"
#include "app/window/file_list.h"
#include "app/window/main_window.h"
#include "app/window/settings_dialog.h"
#include "app/window/skin.h"
#include "app/window/window_geometry.h"
#include "tests/app/window_harness.h"

namespace zl::app::window {
namespace {

using testing::ControllerHarness;
using testing::RecordingOpener;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// One window over one controller; the driver runs only when the test moves
// the fake clock (Seconds) or waits for it (Settle).
class Fixture {
public:
    explicit Fixture(const QString& name, bool fresh = true)
        : h_(std::make_unique<ControllerHarness>(Root(name), fresh)) {
        c = &h_->Make(ui);
        w = std::make_unique<MainWindow>(*c, h_->clock, ui, folder_opener);
        w->StartDriver([](AppController& a) { a.StartUp(); });
        w->show();
        Settle();
    }
    ~Fixture() {
        w.reset();
        h_->Exit();
    }
    static std::string Root(const QString& name) {
        return QDir::tempPath().toStdString() + "/zl-window-test/" + name.toStdString();
    }
    ControllerHarness& h() { return *h_; }
    // Every command posted and every timer due has run, and its snapshot is drawn.
    void Settle() {
        if (w->Driver().Running()) w->Driver().Sync();
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    void Seconds(int n) {
        for (int i = 0; i < n; ++i) {
            h_->clock.Advance(1000);
            Settle();
        }
    }
    template <class T = QAbstractButton>
    T* Find(const char* name) {
        return w->findChild<T*>(QString::fromUtf8(name));
    }
    // Clicks and waits until the press has run (`wait` false: a press that
    // asks a question, which the driver waits on).
    void Click(const char* name, bool wait = true) {
        QAbstractButton* b = Find(name);
        QVERIFY2(b, name);
        QVERIFY2(b->isVisible(), name);
        QTest::mouseClick(b, Qt::LeftButton);
        if (wait)
            Settle();
        else
            QCoreApplication::processEvents();
    }
    // The visible dialog of a kind (a closed one may await its deletion).
    template <class T>
    T* Shown() {
        for (T* d : w->findChildren<T*>())
            if (d->isVisible()) return d;
        return nullptr;
    }
    template <class T>
    bool Visible() {
        return Shown<T>() != nullptr;
    }
    QString Label(const char* name) { return Find<QLabel>(name)->text(); }
    // The one visible message box named `name`, or null.
    QMessageBox* Box(const char* name) {
        for (QMessageBox* b : w->findChildren<QMessageBox*>(QString::fromUtf8(name)))
            if (b->isVisible()) return b;
        return nullptr;
    }
    QStringList Messages() {
        QStringList texts;
        for (QMessageBox* b : w->findChildren<QMessageBox*>(QStringLiteral("message")))
            if (b->isVisible()) texts << b->text();
        return texts;
    }
    void CloseMessages() {
        for (QMessageBox* b : w->findChildren<QMessageBox*>())
            if (b->isVisible()) b->close();
        QCoreApplication::processEvents();
    }

    QtUserInterface ui;
    RecordingOpener folder_opener;
    AppController* c = nullptr;
    std::unique_ptr<MainWindow> w;

private:
    std::unique_ptr<ControllerHarness> h_;
};

// A snapshot in which file 0 is complete, file 1 a third done, file 2 not
// begun and file 3 not queryable.
ControllerView BaseView(int state) {
    ControllerView v;
    v.state = state;
    v.progress = 1234;
    v.speed = 1536;
    v.size_text = "1.2 MB/8.6 GB";
    v.save_path = "/home/player/下载/TLV300";
    const PackageTable table = ControllerHarness::Table();
    for (int i = 0; i < 4; ++i) {
        FileView& f = v.files[size_t(i)];
        f.name = table.files[size_t(i)].name;
        f.size = table.files[size_t(i)].size;
        f.has_task = true;
        f.progress_ok = i != 3;
    }
    v.files[0].complete = true;
    v.files[0].progress = 10000;
    v.files[1].progress = 3456;
    v.files[1].bitfield = {0xFF, 0x0F, 0xC0};
    v.files[1].bits = 20;
    v.verify_file = 1;
    v.verify_progress = 5000;
    v.verify_overall = 2600;
    v.repair_progress = 4321;
    v.repair_speed = 2048;
    return v;
}

ControllerView AllComplete(ControllerView v) {
    for (FileView& f : v.files) f.complete = true, f.progress = 10000;
    return v;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(!ChineseFontFamily().isEmpty(), "no font with Chinese glyphs (fonts-wqy-microhei)");
    }

    void startPageFolderAndBegin() {
        Fixture f(QStringLiteral("start"));
        QCOMPARE(f.c->State(), int(kStateReady));
        QVERIFY(!f.w->OnDownloadPage());
        QCOMPARE(f.Find<ElidedLabel>("locationText")->FullText(), Q(f.h().Root() + "/save/TLV300"));
        QCOMPARE(f.Find("folderButton")->text(), QStringLiteral("更改目录"));

        // Before a download the folder button browses; the choice becomes the save path.
        QDir().mkpath(Q(f.h().Root() + "/chosen"));
        f.Click("folderButton");
        QFileDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = f.w->findChild<QFileDialog*>(QStringLiteral("folderDialog"))) != nullptr);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("请选择安装包存放目录:"));
        QCOMPARE(dialog->directory().absolutePath(), Q(f.h().Root() + "/save"));
        QPointer<QFileDialog> open = dialog;
        dialog->setDirectory(Q(f.h().Root() + "/chosen"));  // the user walks into the folder
        static_cast<QDialog*>(dialog)->accept();  // as its "Choose" button does
        QTRY_VERIFY(!open || !open->isVisible());
        f.Settle();
        QCOMPARE(f.Find<ElidedLabel>("locationText")->FullText(), Q(f.h().Root() + "/chosen/TLV300"));

        // Too little space: the start button leaves the start page in place.
        f.h().engine.free_space = 1000;
        f.Click("startButton");
        QTRY_COMPARE(f.Messages(), QStringList{QStringLiteral("当前磁盘空间不足，请选择其他位置存放")});
        QVERIFY(!f.w->OnDownloadPage());
        f.CloseMessages();

        f.h().engine.free_space = uint64_t(1) << 40;
        f.Click("startButton");
        QCOMPARE(f.c->State(), int(kStatePreparing));
        QVERIFY(f.w->OnDownloadPage());
        QVERIFY(f.Find("mainButton")->isVisible());
        QVERIFY(!f.Find("startButton")->isVisible());
        QCOMPARE(f.h().engine.tasks.size(), size_t(4));
        QVERIFY(f.h().engine.tasks[0].target.find("/chosen/TLV300/") != std::string::npos);

        // Once downloading, the folder button shows the save folder.
        QCOMPARE(f.Find("folderButton")->text(), QStringLiteral("打开目录"));
        f.Click("folderButton");
        QCOMPARE(f.folder_opener.opened, std::vector<std::string>{f.h().Root() + "/chosen/TLV300"});
    }

    void mainButtonThroughTheDownload() {
        Fixture f(QStringLiteral("download"));
        f.Click("startButton");
        QCOMPARE(f.c->State(), int(kStatePreparing));
        QCOMPARE(f.Find("mainButton")->text(), QStringLiteral("准备下载"));
        QVERIFY(!f.Find("mainButton")->isEnabled());  // nothing to do until data flows
        QTest::mouseClick(f.Find("mainButton"), Qt::LeftButton);
        f.Settle();
        QCOMPARE(f.c->State(), int(kStatePreparing));

        testing::FakeTask& t = f.h().engine.Task("Data300.zip");
        t.progress = 2000;
        t.speed = 50000;
        t.downloaded = 500;
        f.Seconds(2);
        QCOMPARE(f.c->State(), int(kStateDownloading));
        QCOMPARE(f.Find("mainButton")->text(), QStringLiteral("暂停下载"));
        QCOMPARE(f.Label("speedText"), QStringLiteral("48.8 KB/s"));

        f.Click("mainButton");  // pause
        QCOMPARE(f.c->State(), int(kStatePause));
        QCOMPARE(f.Find("mainButton")->text(), QStringLiteral("继续下载"));
        QVERIFY(!f.h().engine.tasks[1].running);
        f.Click("mainButton");  // resume
        QCOMPARE(f.c->State(), int(kStateResume));
        QVERIFY(f.h().engine.tasks[1].running);

        f.h().CompleteAll();
        f.Seconds(2);
        QCOMPARE(f.c->State(), int(kStateFinished));
        QCOMPARE(f.Find("mainButton")->text(), QStringLiteral("立即安装"));
        QCOMPARE(f.Label("statusText"), QStringLiteral("√ 下载完成"));

        // Install: the question, answered "no", starts the installer unverified and ends the window.
        f.Click("mainButton", false);
        QMessageBox* question = nullptr;
        QTRY_VERIFY((question = f.Box("question")) != nullptr);
        QCOMPARE(question->text(), QStringLiteral("是否验证安装文件的正确性？"));
        QCOMPARE(question->windowTitle(), QStringLiteral("Talvora下载器"));
        QTest::mouseClick(question->button(QMessageBox::No), Qt::LeftButton);
        QTRY_VERIFY(f.w->Ended());
        QCOMPARE(f.h().opener.opened, std::vector<std::string>{f.h().Target(0)});
        QCOMPARE(f.w->ExitCode(), 0);
        QVERIFY(!f.w->isVisible());
    }

    void verifyRepairAndInstall() {
        Fixture f(QStringLiteral("verify"));
        f.Click("startButton");
        f.h().CompleteAll();
        f.Seconds(2);
        QCOMPARE(f.c->State(), int(kStateFinished));
        std::string bad = ControllerHarness::Content(2);
        bad[5] ^= 1;
        QVERIFY(WriteFileAtomic(f.h().Target(2), bad));
        f.h().engine.repair_content[f.h().Target(2)] = ControllerHarness::Content(2);

        f.Click("mainButton", false);
        QMessageBox* question = nullptr;
        QTRY_VERIFY((question = f.Box("question")) != nullptr);
        QTest::mouseClick(question->button(QMessageBox::Yes), Qt::LeftButton);
        // The repair waits a second of fake time before it queries its task.
        QTRY_COMPARE(f.c->State(), int(kStateCheckRecover));
        f.Settle();
        QCOMPARE(f.Label("progressLabel"), QStringLiteral("修复进度:"));
        QCOMPARE(f.Label("progressValue"), QStringLiteral("准备中"));
        QCOMPARE(f.Label("speedText"), QStringLiteral("修复准备..."));
        QCOMPARE(f.Find<FileList>("fileList")->Rows()[2].status, QStringLiteral("准备修复.. "));
        f.Click("mainButton");
        QTRY_COMPARE(f.Messages(), QStringList{QStringLiteral("部分文件错误，正在修复中...")});
        f.CloseMessages();

        // The verification asked to install afterwards: verified, the installer starts.
        for (int i = 0; i < 50 && !f.w->Ended(); ++i) {
            f.Seconds(1);
            QTest::qWait(5);
        }
        QVERIFY(f.w->Ended());
        QCOMPARE(f.Label("statusText"), QStringLiteral("√ 修复成功"));
        QCOMPARE(f.h().opener.opened, std::vector<std::string>{f.h().Target(0)});
    }

    void textsOfEachState() {
        struct Case {
            const char* what;
            ControllerView view;
            const char *label, *value, *status, *speed;
            std::array<const char*, 4> files;
            const char* main;
            bool main_enabled;
            const char* folder;
        };
        ControllerView reported = AllComplete(BaseView(kStateCheckRecover));
        reported.repair_reported = true;
        reported.ticks = 2;
        ControllerView reported_later = reported;
        reported_later.ticks = 5;
        ControllerView verified = AllComplete(BaseView(kStateCheckFinished));
        verified.verify_overall = 10000;
        ControllerView repaired = verified;
        repaired.repaired = true;
        const char* downloading[] = {"√ 下载完成  ", "34.56%    ", "准备下载    ", "准备下载    "};
        const char* idle[] = {"√ 下载完成  ", "34.56%    ", "未开始    ", "未开始    "};
        auto files = [](const char* const (&f)[4]) { return std::array<const char*, 4>{f[0], f[1], f[2], f[3]}; };
        const Case cases[] = {
            {"0 back", BaseView(0), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(idle), "开始下载", true, "更改目录"},
            {"1 ready", BaseView(1), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(idle), "开始下载", true, "更改目录"},
            {"3 preparing", BaseView(3), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(idle), "准备下载", false, "打开目录"},
            {"4 downloading", BaseView(4), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(downloading), "暂停下载", true, "打开目录"},
            {"5 pause", BaseView(5), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(idle), "继续下载", true, "打开目录"},
            {"6 resume", BaseView(6), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(idle), "暂停下载", true, "打开目录"},
            {"7 failed", BaseView(7), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(idle), "下载失败", false, "打开目录"},
            {"8 finished", AllComplete(BaseView(8)), "当前进度:", "12.34%", "√ 下载完成", "1.5 KB/s",
             {"√ 下载完成  ", "√ 下载完成  ", "√ 下载完成  ", "√ 下载完成  "}, "立即安装", true, "打开目录"},
            {"10 verifying", AllComplete(BaseView(10)), "验证进度:", "26.00%", "1.2 MB/8.6 GB", "文件验证中...",
             {"√ 验证通过  ", "验证中：50.00%  ", "待验证    ", "待验证    "}, "正在验证", true, "打开目录"},
            {"11 before the repair reports", AllComplete(BaseView(11)), "修复进度:", "准备中", "1.2 MB/8.6 GB", "修复准备...",
             {"√ 验证通过  ", "准备修复.. ", "待验证    ", "待验证    "}, "正在修复", true, "打开目录"},
            {"11 repairing", reported, "修复进度:", "43.21%", "1.2 MB/8.6 GB", "修复中...",
             {"√ 验证通过  ", "修复中：43.21%  ", "待验证    ", "待验证    "}, "正在修复", true, "打开目录"},
            {"11 repairing, the speed's turn", reported_later, "修复进度:", "43.21%", "1.2 MB/8.6 GB", "2.0 KB/s",
             {"√ 验证通过  ", "修复中：43.21%  ", "待验证    ", "待验证    "}, "正在修复", true, "打开目录"},
            {"12 verified", verified, "验证进度:", "100.00%", "√ 验证通过", "1.5 KB/s",
             {"√ 验证通过  ", "√ 验证通过  ", "√ 验证通过  ", "√ 验证通过  "}, "立即安装", true, "打开目录"},
            {"12 repaired", repaired, "验证进度:", "100.00%", "√ 修复成功", "1.5 KB/s",
             {"√ 验证通过  ", "√ 验证通过  ", "√ 验证通过  ", "√ 验证通过  "}, "立即安装", true, "打开目录"},
            // 13 keeps the status it had: the installer is being started.
            {"13 installing", AllComplete(BaseView(13)), "当前进度:", "12.34%", "√ 修复成功", "1.5 KB/s",
             {"√ 下载完成  ", "√ 下载完成  ", "√ 下载完成  ", "√ 下载完成  "}, "正在安装", false, "打开目录"},
            {"15 recover", BaseView(15), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(idle), "准备下载", false, "打开目录"},
            {"16 reload", BaseView(16), "当前进度:", "12.34%", "1.2 MB/8.6 GB", "1.5 KB/s", files(idle), "准备下载", false, "打开目录"},
        };
        Fixture f(QStringLiteral("texts"));
        f.w->Driver().Stop();  // only these snapshots are drawn
        for (const Case& k : cases) {
            f.w->Present(k.view);
            const QByteArray what(k.what);
            QVERIFY2(f.Label("progressLabel") == QString::fromUtf8(k.label), what);
            QVERIFY2(f.Label("progressValue") == QString::fromUtf8(k.value), what);
            QVERIFY2(f.Label("statusText") == QString::fromUtf8(k.status), what);
            QVERIFY2(f.Label("speedText") == QString::fromUtf8(k.speed), what);
            QVERIFY2(f.Find<ElidedLabel>("locationText")->FullText() == QStringLiteral("/home/player/下载/TLV300"), what);
            const auto& rows = f.Find<FileList>("fileList")->Rows();
            for (size_t i = 0; i < 4; ++i) {
                QVERIFY2(rows[i].name == Q(k.view.files[i].name), what);
                QVERIFY2(rows[i].status == QString::fromUtf8(k.files[i]), what + " file " + QByteArray::number(int(i)));
            }
            QVERIFY2(f.Find("mainButton")->text() == QString::fromUtf8(k.main), what);
            QVERIFY2(f.Find("mainButton")->isEnabled() == k.main_enabled, what);
            QVERIFY2(f.Find("folderButton")->text() == QString::fromUtf8(k.folder), what);
        }
    }

    void settingsDialog() {
        Fixture f(QStringLiteral("settings"));
        f.Click("settingsButton");
        SettingsDialog* d = f.Shown<SettingsDialog>();
        QVERIFY(d && d->isVisible());
        QVERIFY(!d->LimitBox()->isChecked());
        QVERIFY(!d->LimitField()->isEnabled());
        d->LimitBox()->click();
        QCOMPARE(d->LimitField()->text(), QStringLiteral("200"));  // proposed
        for (const char* bad : {"5", "30001"}) {
            d->LimitField()->setText(QString::fromUtf8(bad));
            QTest::mouseClick(d->OkButton(), Qt::LeftButton);
            QMessageBox* range = nullptr;
            QTRY_VERIFY((range = d->findChild<QMessageBox*>(QStringLiteral("rangeMessage"))) != nullptr);
            QCOMPARE(range->text(), QStringLiteral("您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！"));
            QVERIFY2(d->isVisible(), bad);  // kept open
            range->close();
            QTRY_VERIFY(d->findChild<QMessageBox*>(QStringLiteral("rangeMessage")) == nullptr);
        }
        d->LimitField()->setText(QStringLiteral("200"));
        d->ShutdownBox()->click();
        QTest::mouseClick(d->OkButton(), Qt::LeftButton);
        QTRY_VERIFY(!f.Visible<SettingsDialog>());
        f.Settle();
        QCOMPARE(f.c->View().speed_limit_kib, 200);
        QVERIFY(f.c->View().auto_shutdown);

        // The dialog opens with what is set; a clear box sends no limit.
        f.Click("settingsButton");
        d = f.Shown<SettingsDialog>();
        QVERIFY(d->LimitBox()->isChecked());
        QCOMPARE(d->LimitField()->text(), QStringLiteral("200"));
        QVERIFY(d->ShutdownBox()->isChecked());
        d->LimitBox()->click();
        QTest::mouseClick(d->OkButton(), Qt::LeftButton);
        QTRY_VERIFY(!f.Visible<SettingsDialog>());
        f.Settle();
        QCOMPARE(f.c->View().speed_limit_kib, 0);
    }

    void closeSelections() {
        const QString name = QStringLiteral("close");
        {
            // 0: ask. Cancel does nothing; minimise without remembering stores nothing.
            Fixture f(name);
            f.Click("closeButton");
            ExitDialog* d = nullptr;
            QTRY_VERIFY((d = f.Shown<ExitDialog>()) != nullptr);
            QVERIFY(d->MinimiseChoice()->isChecked());  // preselected
            QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("cancelButton")), Qt::LeftButton);
            f.Settle();
            QVERIFY(f.w->isVisible() && !f.w->isMinimized() && !f.w->Ended());

            f.Click("closeButton");
            QTRY_VERIFY((d = f.Shown<ExitDialog>()) != nullptr);
            d->RememberBox()->click();
            QTest::mouseClick(d->OkButton(), Qt::LeftButton);
            f.Settle();
            f.Settle();
            // No notification area here: minimised instead of hidden.
            QTRY_VERIFY(f.w->isMinimized());
            QVERIFY(!f.w->Ended());
            QVERIFY(f.h().IniText().find("ZephyrloaderCloseSelection=1") != std::string::npos);

            // 1: minimise at once, no dialog.
            f.w->showNormal();
            f.Click("closeButton");
            f.Settle();
            QTRY_VERIFY(f.w->isMinimized());
            QVERIFY(!f.Visible<ExitDialog>());

            // A later start raises the window.
            f.ui.Raise();
            QTRY_VERIFY(!f.w->isMinimized());
        }
        {
            // The remembered 1 survives a restart; choosing exit and remembering stores 2.
            Fixture f(name, false);
            QCOMPARE(f.c->View().close_selection, 1);
            std::filesystem::remove(f.c->Folders().ini_path);  // back to asking
            f.h().Exit();
        }
        {
            Fixture f(name, false);
            f.Click("startButton");
            f.Click("closeButton");
            ExitDialog* d = nullptr;
            QTRY_VERIFY((d = f.Shown<ExitDialog>()) != nullptr);
            d->ExitChoice()->click();
            d->RememberBox()->click();
            QTest::mouseClick(d->OkButton(), Qt::LeftButton);
            QTRY_VERIFY(f.w->Ended());
            QVERIFY(f.h().IniText().find("ZephyrloaderCloseSelection=2") != std::string::npos);
            QVERIFY(!f.w->isVisible());
            // A user's exit mid-download is logged as such and the tasks are stopped.
            const auto calls = f.h().engine.Calls();
            QVERIFY(std::find(calls.begin(), calls.end(), "stop-many 4") != calls.end());
            QVERIFY(std::find(calls.begin(), calls.end(), "cleanup") != calls.end());
        }
        {
            // 2: exit at once.
            Fixture f(name, false);
            QCOMPARE(f.c->View().close_selection, 2);
            f.Click("closeButton");
            QTRY_VERIFY(f.w->Ended());
            QVERIFY(!f.Visible<ExitDialog>());
        }
    }

    void detailsToggleAndKeys() {
        Fixture f(QStringLiteral("details"));
        QCOMPARE(f.w->height(), kHeight);
        QVERIFY(!f.Find<FileList>("fileList")->isVisible());
        // A click inside the toggle's box (corners included) expands the details by 78 pixels.
        auto click_window_at = [&](QPoint at) {
            QWidget* target = f.w->childAt(at);
            QVERIFY(target);
            QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(f.w.get(), at));
        };
        click_window_at(QPoint(186, 307));
        QCOMPARE(f.w->height(), kHeight + 78);
        QVERIFY(f.w->DetailsExpanded());
        QVERIFY(f.Find<FileList>("fileList")->isVisible());
        QCOMPARE(f.w->childAt(QPoint(185, 290)), nullptr);  // just outside: the window itself
        click_window_at(QPoint(217, 278));
        QCOMPARE(f.w->height(), kHeight);
        QVERIFY(!f.w->DetailsExpanded());

        // Escape and Enter neither close the window nor press a button.
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
            QTest::keyClick(f.w.get(), key);
            f.Settle();
            QVERIFY(f.w->isVisible());
            QVERIFY(!f.w->Ended());
            QCOMPARE(f.c->State(), int(kStateReady));
        }
        QVERIFY(!f.Visible<ExitDialog>());

        // The title strip drags the window; the rest of it does not.
        const QPoint at = f.w->pos();
        QTest::mousePress(f.w.get(), Qt::LeftButton, {}, QPoint(150, 15));
        QMouseEvent move(QEvent::MouseMove, QPointF(210, 45), f.w->mapToGlobal(QPointF(210, 45)), Qt::NoButton,
                         Qt::LeftButton, {});
        QCoreApplication::sendEvent(f.w.get(), &move);
        QTest::mouseRelease(f.w.get(), Qt::LeftButton, {}, QPoint(210, 45));
        QCOMPARE(f.w->pos(), at + QPoint(60, 30));
        const QPoint moved = f.w->pos();
        QTest::mousePress(f.w.get(), Qt::LeftButton, {}, QPoint(150, 150));
        QMouseEvent move2(QEvent::MouseMove, QPointF(200, 200), f.w->mapToGlobal(QPointF(200, 200)), Qt::NoButton,
                          Qt::LeftButton, {});
        QCoreApplication::sendEvent(f.w.get(), &move2);
        QTest::mouseRelease(f.w.get(), Qt::LeftButton, {}, QPoint(200, 200));
        QCOMPARE(f.w->pos(), moved);

        // Minimise.
        f.Click("minimiseButton");
        QTRY_VERIFY(f.w->isMinimized());
    }

    void screenshots() {
        const QString dir = qEnvironmentVariable("ZL_WINDOW_SHOTS", QDir::tempPath() + "/zl-window-shots");
        QVERIFY(QDir().mkpath(dir));
        Fixture f(QStringLiteral("shots"));
        // State 1, as the program first opens, and its two dialogs.
        QVERIFY(f.w->SaveScreenshot(dir + "/state-01-ready.png"));
        f.Click("settingsButton");
        SettingsDialog* settings = f.Shown<SettingsDialog>();
        QVERIFY(settings);
        settings->LimitBox()->click();
        QVERIFY(settings->grab().save(dir + "/dialog-settings.png"));
        settings->reject();
        f.Click("closeButton");
        ExitDialog* exit = nullptr;
        QTRY_VERIFY((exit = f.Shown<ExitDialog>()) != nullptr);
        QVERIFY(exit->grab().save(dir + "/dialog-exit.png"));
        exit->reject();
        f.w->Driver().Stop();
        struct Shot {
            const char* file;
            ControllerView view;
            bool expanded;
        };
        ControllerView downloading = BaseView(kStateDownloading);
        downloading.speed = 3'456'789;
        downloading.progress = 4321;
        downloading.size_text = "3.7 GB/8.6 GB";
        ControllerView verifying = AllComplete(BaseView(kStateMd5Checking));
        verifying.verify_file = 2;
        verifying.verify_progress = 6789;
        verifying.verify_overall = 4718;
        ControllerView repairing = AllComplete(BaseView(kStateCheckRecover));
        repairing.verify_file = 2;
        repairing.repair_reported = true;
        repairing.repair_progress = 8123;
        repairing.repair_speed = 5'000'000;
        repairing.ticks = 7;
        repairing.files[2].bitfield = {0xFF, 0xFB, 0xFF, 0xF0};
        repairing.files[2].bits = 28;
        repairing.files[2].complete = false;
        repairing.files[2].progress = 8123;
        ControllerView verified = AllComplete(BaseView(kStateCheckFinished));
        verified.verify_overall = 10000;
        const Shot shots[] = {{"state-04-downloading.png", downloading, true},
                              {"state-10-verifying.png", verifying, true},
                              {"state-11-repairing.png", repairing, true},
                              {"state-12-verified.png", verified, false}};
        for (const Shot& s : shots) {
            if (f.w->DetailsExpanded() != s.expanded) f.Click("detailsToggle");
            f.w->Present(s.view);
            QCoreApplication::processEvents();
            const QString path = dir + "/" + QString::fromUtf8(s.file);
            QVERIFY2(f.w->SaveScreenshot(path), s.file);
            const QImage shot(path);
            QCOMPARE(shot.height(), kHeight + (s.expanded ? kDetailsHeight : 0));
            QCOMPARE(qAlpha(shot.pixel(0, 0)), 0);           // outside the rounded shape
            QCOMPARE(qAlpha(shot.pixel(kWidth / 2, 5)), 255);  // inside it
        }
    }
};

}  // namespace zl::app::window

QTEST_MAIN(zl::app::window::WindowTest)
#include "window_test.moc"
