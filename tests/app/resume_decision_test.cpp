#include "app/resume_decision.h"

#include <gtest/gtest.h>

namespace zl::app {
namespace {

using Flags = std::array<bool, 4>;
constexpr Flags kAll{true, true, true, true};
constexpr Flags kNone{false, false, false, false};

TEST(ResumeDecision, Table) {
    struct Case {
        const char* what;
        bool ini, keys_missing, complete;
        Flags target, temp, unchanged;
        int state;
        bool delete_ini;
    } cases[] = {
        {"no INI", false, false, false, kNone, kNone, kNone, 1, false},
        {"INI without any key", true, true, true, kAll, kNone, kAll, 1, false},
        {"complete and unchanged", true, false, true, kAll, kNone, kAll, 8, false},
        {"complete, one file touched", true, false, true, kAll, kNone, {true, true, false, true}, 16, false},
        {"complete, one file missing", true, false, true, {true, false, true, true}, kNone, kNone, 15, false},
        {"complete, all missing", true, false, true, kNone, kAll, kNone, 1, true},
        {"downloading, temporaries only", true, false, false, kNone, kAll, kNone, 15, false},
        {"downloading, some temporaries", true, false, false, kNone, {true, false, false, false}, kNone, 15, false},
        {"downloading, one finished file", true, false, false, {true, false, false, false}, {false, true, true, true},
         {true, false, false, false}, 16, false},
        {"downloading, everything lost", true, false, false, kNone, kNone, kNone, 1, true},
    };
    for (const Case& c : cases) {
        ResumeInputs in;
        in.ini_exists = c.ini;
        in.all_keys_missing = c.keys_missing;
        in.complete_flag = c.complete;
        in.target_exists = c.target;
        in.temp_exists = c.temp;
        in.unchanged = c.unchanged;
        const ResumeDecision d = DecideResume(in);
        EXPECT_EQ(d.state, c.state) << c.what;
        EXPECT_EQ(d.delete_ini, c.delete_ini) << c.what;
        if (c.delete_ini) {
            EXPECT_EQ(d.message, "目标文件被删除或移动，请重新下载") << c.what;
        }
    }
}

TEST(ResumeDecision, LostFilesFollowTheCompleteFlag) {
    ResumeInputs in;
    in.ini_exists = true;
    in.complete_flag = true;
    in.target_exists = {true, false, true, true};
    in.temp_exists = {false, true, false, false};  // a temporary does not count once complete
    EXPECT_EQ(DecideResume(in).lost, (Flags{false, true, false, false}));
    in.complete_flag = false;
    EXPECT_EQ(DecideResume(in).lost, kNone);
}

}  // namespace
}  // namespace zl::app
