// Where the application keeps its files: the application folder under the
// user's data folder (XDG), its INI, the log base, the task information
// folders and the connection setting in the current directory; the window's
// crash dumps under the user's cache folder; the default download folder.
// Every folder follows the XDG base directories, so that a program started
// from the menu (no terminal, no variables of its own) finds them.
#pragma once
#include <string>

namespace zl::app {

struct AppFolders {
    std::string app_folder;  // <data root>/ZPHR/Zephyrloader/Zephyrloader<id>
    std::string ini_path;    // app_folder/<id>.zlconf
    std::string log_base;    // app_folder/<id>
    std::string link_ini;    // <current directory>/ZephyrloaderTaskLink.ini
};

// $HOME, else the user's home in the password database, else "/tmp".
std::string HomeFolder();
// An XDG base folder: $VARIABLE when it holds an absolute path (XDG
// says a relative one is ignored), else HomeFolder()/fallback.
std::string XdgBaseFolder(const char* variable, const char* fallback);
// $XDG_DATA_HOME, else ~/.local/share.
std::string DefaultDataRoot();
// $XDG_CACHE_HOME/ZPHR/Zephyrloader (else under ~/.cache): where the window,
// whose current directory is whatever the menu gave it, writes crash dumps.
std::string CrashDumpFolder();
// XDG_DOWNLOAD_DIR of a user-dirs.dirs text ("$HOME/..." or an absolute
// path, quoted); "" when the text names none.
std::string DownloadFolderFromUserDirs(const std::string& text, const std::string& home);
AppFolders MakeAppFolders(const std::string& data_root, const std::string& installation_id, const std::string& cwd);
std::string CurrentDirectory();
// app_folder/<hash>ZLInfo
std::string TaskInfoFolder(const std::string& app_folder, const std::string& task_hash);
// The folder with the most free space among the user's download folder
// ($XDG_DOWNLOAD_DIR, else the one $XDG_CONFIG_HOME/user-dirs.dirs names,
// else ~/Downloads) and home (the first wins a tie); "" when none is usable.
std::string DefaultDownloadRoot();
// A single folder entry: not empty, ".", "..", and without '/' or control
// characters, so that joining it to a folder stays inside that folder.
bool IsPlainName(const std::string& name);
// a + "/" + b without doubling the separator.
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace zl::app
