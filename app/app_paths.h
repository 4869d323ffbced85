// Where the application keeps its files: the application folder under the
// user's data folder (XDG), its INI, the log base, the task information
// folders and the connection setting in the current directory.
#pragma once
#include <string>

namespace zl::app {

struct AppFolders {
    std::string app_folder;  // <data root>/ZPHR/Zephyrloader/Zephyrloader<id>
    std::string ini_path;    // app_folder/<id>.zlconf
    std::string log_base;    // app_folder/<id>
    std::string link_ini;    // <current directory>/ZephyrloaderTaskLink.ini
};

// $XDG_DATA_HOME, else $HOME/.local/share.
std::string DefaultDataRoot();
AppFolders MakeAppFolders(const std::string& data_root, const std::string& installation_id, const std::string& cwd);
std::string CurrentDirectory();
// app_folder/<hash>ZLInfo
std::string TaskInfoFolder(const std::string& app_folder, const std::string& task_hash);
// The folder with the most free space among the user's download folder and
// home (the first wins a tie); "" when none is usable.
std::string DefaultDownloadRoot();
// A single folder entry: not empty, ".", "..", and without '/' or control
// characters, so that joining it to a folder stays inside that folder.
bool IsPlainName(const std::string& name);
// a + "/" + b without doubling the separator.
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace zl::app
