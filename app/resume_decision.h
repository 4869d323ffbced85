// The decision at start: fresh download, resume, or a package that is already
// complete (and perhaps needs verification), from the INI and the files on disk.
#pragma once
#include <array>
#include <string>

#include "app/app_state.h"
#include "app/package_table.h"

namespace zl::app {

struct ResumeInputs {
    bool ini_exists = false;
    // Creation time, hash, save path and entrance were all missing from the INI.
    bool all_keys_missing = false;
    bool complete_flag = false;  // "ZephyrloaderTaskIsComplete" = "COMPLETE"
    std::array<bool, kPackageFiles> target_exists{};
    std::array<bool, kPackageFiles> temp_exists{};  // target + ".zltmp"
    std::array<bool, kPackageFiles> unchanged{};    // by the finish information
};

struct ResumeDecision {
    int state = kStateReady;
    bool delete_ini = false;  // every file was lost: start over
    std::string log;
    std::string message;  // for the user, or empty
    std::array<bool, kPackageFiles> lost{};
};

ResumeDecision DecideResume(const ResumeInputs& in);

}  // namespace zl::app
