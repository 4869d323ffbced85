// The install question, the installer's launch, the exit paths and the
// automatic shutdown.
#include <sys/stat.h>

#include "app/app_events.h"
#include "app/app_log.h"
#include "app/controller.h"
#include "app/opener.h"

namespace zl::app {

void AppController::AskInstall() {
    const bool verify = s_.ui.AskYesNo("是否验证安装文件的正确性？", kCaption);
    if (!verify) {
        std::lock_guard lock(m_);
        Report({kEventVerifyDeclined, "", "", false, {}});
        Install(false);
        return;
    }
    {
        std::lock_guard lock(m_);
        Report({kEventVerifyAccepted, "", "", false, {}});
    }
    Verify(true);
}

void AppController::Install(bool verified) {
    const int previous = state_;
    SetState(kStateInstalling);
    const std::string installer = JoinPath(save_path_, entrance_);
    struct stat st;
    if (::stat(installer.c_str(), &st) != 0) {
        s_.ui.ShowMessage("安装程序丢失", "安装失败");
        Report({kEventInstallerMissing, "用户点击安装按钮，但是找不到安装程序，安装失败", entrance_, false, {}});
        AppLog("安装失败] [用户点击安装按钮，但是找不到安装程序");
        SetState(previous);
        return;
    }
    const int result = s_.opener.Open(installer, save_path_);
    SetState(previous);
    if (result >= 32) {
        AppLog("开始安装] [用户点击安装按钮");
        installer_launched_ = true;
        outcome_ = Outcome::kInstallerLaunched;
        exit_requested_ = true;
        return;
    }
    const std::string text = std::string("安装程序无法正常打开，原因：") +
                              (verified ? "本次安装前通过了校验" : "本次安装前没有校验") + ShellErrorText(result);
    s_.ui.ShowMessage("安装程序无法正常打开", "安装失败");
    AppLog(text);
    Report({kEventInstallerNotStarted, text, entrance_, false, {}});
}

void AppController::AutoShutdown() {
    AppLog("Zephyrloader Utility: 触发自动关机");
    if (!s_.shutdown.Schedule("一分钟后将自动关机", 60)) Message("自动关机失败，请手动关机");
}

void AppController::SetUserExit() {
    std::lock_guard lock(m_);
    user_exit_ = true;
}

void AppController::ExitLogging() {
    bool cleanup;
    {
        std::lock_guard lock(m_);
        if (exit_logged_) return;
        exit_logged_ = true;
        const int st = state_;
        if (user_exit_) {
            AppLog("用户点击退出按钮");
            if (st != kStateFinished && st != kStateBack && st != kStateReady) ReportStatistics(kEventUserExitWhileDownloading);
            AppLog("=====================退出=====================");
        } else if (installer_launched_) {
            AppLog("由于启动了安装程序，退出");
            AppLog("=====================退出=====================");
        } else {
            Report({kEventUnexpectedExit, "Unknow Exit, maybe crashed", "", false, {}});
            AppLog("遭遇意外退出");
            SetState(kStateExiting);
            AppLog("=====================已退出=====================");
        }
        SaveIni();
        cleanup = engine_started_;
    }
    // No thread of ours may call the engine once it is cleaned up.
    JoinThreads();
    {
        std::lock_guard lock(m_);
        std::vector<TaskHandle> live;
        for (const FileSlot& f : files_)
            if (f.handle) live.push_back(f.handle);
        if (!live.empty()) s_.engine.StopMany(live.data(), uint32_t(live.size()));
        cleanup = cleanup || !live.empty();
    }
    s_.events.Stop();  // sends what is queued, the exit event included
    s_.engine.LogClose();
    if (cleanup) s_.engine.Cleanup();
    std::lock_guard lock(m_);
    SavePrefixStates();
}

}  // namespace zl::app
