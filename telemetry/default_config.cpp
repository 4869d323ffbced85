#include "telemetry/default_config.h"

namespace zl {

std::string DefaultStatisticsConfig(const std::string& host_port) {
    const std::string base = "http://" + host_port + "/zlsubmit/";
    const std::string keywords =
        "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
        "SubmitDataKeyWord=MachId;Mac;OS\n";
    return "[SubmitEventDownload]\n"
           "SubmitUrl=" + base + "eventInfoSubmit\n" + keywords +
           "\n[SubmitEventDownloadSeveral]\n"
           "SubmitUrl=" + base + "eventListSubmit\n" + keywords +
           "\n[OsTypeCode]\n"
           "WIN_XP_SP2=512\nWIN_XP_SP3=513\nWIN_2003_SP0=520\nWIN_2003_SP1=521\nWIN_2003_SP2=522\n"
           "WIN_VISTA_SP0=600\nWIN_VISTA_SP1=601\nWIN_VISTA_SP2=602\nWIN_7_SP0=610\nWIN_7_SP1=611\n"
           "WIN_8_SP0=620\nWIN_8_SP1=621\nWIN_8.1_SP0=630\nOther=999\n";
}

}  // namespace zl
