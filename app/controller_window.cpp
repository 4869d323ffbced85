// The entries only a window needs: the folder button and the close button
// with its remembered choice.
#include <sys/stat.h>

#include "app/controller.h"
#include "engine/meta/atomic_file.h"

namespace zl::app {
namespace {

constexpr char kTask[] = "ZephyrloaderTask";

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

FolderRequest AppController::FolderButton() {
    std::lock_guard lock(m_);
    const int st = state_;
    if (st == kStateBack || st == kStateReady) {
        std::string start = save_path_.empty() ? DefaultDownloadRoot() : ParentDirectory(save_path_);
        while (!start.empty() && start != "/" && !IsFolder(start)) start = ParentDirectory(start);
        return {FolderRequest::kBrowse, start};
    }
    // A desktop's file manager cannot be told portably to select a file, so
    // the folder that holds the installer is shown in every state. A folder
    // that is gone cannot be shown either.
    if (save_path_.empty() || !IsFolder(save_path_)) {
        Message("下载位置不存在");
        return {};
    }
    return {FolderRequest::kOpen, save_path_};
}

CloseAction AppController::CloseButton() {
    std::lock_guard lock(m_);
    switch (close_selection_) {
        case kCloseMinimise:
            return CloseAction::kMinimise;
        case kCloseExit:
            user_exit_ = true;
            return CloseAction::kExit;
        default:
            return CloseAction::kAsk;
    }
}

CloseAction AppController::ApplyCloseChoice(int choice, bool remember) {
    std::lock_guard lock(m_);
    if (choice != kCloseMinimise && choice != kCloseExit) return CloseAction::kNone;
    if (remember) {
        close_selection_ = choice;
        if (ini_.Path().empty()) ini_.SetPath(folders_.ini_path);
        ini_.Set(kTask, "ZephyrloaderCloseSelection", std::to_string(choice));
        SaveIni();
    }
    if (choice == kCloseMinimise) return CloseAction::kMinimise;
    user_exit_ = true;
    return CloseAction::kExit;
}

}  // namespace zl::app
