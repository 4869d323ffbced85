#include "app/resume_decision.h"

namespace zl::app {

ResumeDecision DecideResume(const ResumeInputs& in) {
    ResumeDecision d;
    if (!in.ini_exists || in.all_keys_missing) {
        d.state = kStateReady;
        return d;
    }
    bool all_exist = true, any_exist = false, all_lost = true, all_unchanged = true;
    for (int i = 0; i < kPackageFiles; ++i) {
        const size_t k = size_t(i);
        d.lost[k] = in.complete_flag ? !in.target_exists[k] : !in.target_exists[k] && !in.temp_exists[k];
        all_exist = all_exist && in.target_exists[k];
        any_exist = any_exist || in.target_exists[k];
        all_lost = all_lost && d.lost[k];
        all_unchanged = all_unchanged && in.unchanged[k];
    }
    const bool finished_shape = all_exist || (!in.complete_flag && any_exist);
    if (!finished_shape && all_lost) {
        d.state = kStateReady;
        d.delete_ini = true;
        d.log = "目标文件全部丢失，退回初始状态";
        d.message = "目标文件被删除或移动，请重新下载";
    } else if (finished_shape && all_unchanged) {
        d.state = kStateFinished;
        d.log = "下载已经完成，文件正确";
    } else if (finished_shape) {
        d.state = kStateReload;
        d.log = "需要文件校验";
    } else {
        d.state = kStateRecover;
        d.log = "成功地恢复了下载，可以进行续传";
    }
    return d;
}

}  // namespace zl::app
