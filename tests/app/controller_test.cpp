// The controller's state walk on a scripted engine and a fake clock.
#include "app/controller.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/base/fake_clock.h"
#include "engine/meta/md5.h"
#include "tests/app/fake_engine.h"
#include "tests/support/temp_dir.h"

namespace zl::app {
namespace {

using testing::FakeEngine;
using testing::FakeTask;

const char* kNames[] = {"Talvora300.exe", "Data300.zip", "Data30001.cab", "Data30002.cab"};

std::string Content(int i) { return std::string(size_t(2000 + 500 * i), char('a' + i)); }

PackageTable Table() {
    PackageTable t;
    for (int i = 0; i < 4; ++i) {
        const std::string c = Content(i);
        t.files[size_t(i)] = {kNames[i], c.size(), Md5Hex(Md5Of(c.data(), c.size())), 301 + i,
                              std::string("/300/") + kNames[i]};
    }
    t.mirror_host = "127.0.6.9";
    t.config_url = "https://127.0.6.9/downloader/TlvResourceList.xml";
    return t;
}

std::string MirrorDoc() {
    return "<project><configs><p2p-switch>on</p2p-switch><resources><resource id=\"1\" task=\"Data300.zip\">"
           "<cdn id=\"1\" name=\"c\" middle-dir=\"/300/\" file-name=\"Data300.zip\" open=\"true\">"
           "<ip>127.0.6.2</ip><ip>127.0.6.3</ip></cdn></resource></resources></configs></project>";
}

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = sandbox_.path();
        std::filesystem::create_directories(root_ + "/cwd");
        for (int id = 301; id <= 304; ++id)
            ASSERT_TRUE(WriteFileAtomic(root_ + "/resources/TORRENT/" + std::to_string(id), "d4:infod6:lengthi1eee"));
    }
    void TearDown() override {
        if (c_) {
            c_->SetUserExit();
            c_->ExitLogging();
        }
    }
    ControllerSettings Settings() {
        ControllerSettings s;
        s.data_root = root_ + "/data";
        s.save_folder = root_ + "/save";
        s.cwd = root_ + "/cwd";
        s.resources_dir = root_ + "/resources";
        s.prefix_hashing = false;
        s.repair_stall_limit_s = 30;
        return s;
    }
    AppController& Make(ControllerSettings s) {
        services_ = std::make_unique<ControllerServices>(ControllerServices{
            engine_, events_, ports_, ui_, opener_, shutdown_, clock_,
            [this](const std::string&, long, const std::string& ca_file) {
                FetchResult r;
                fetch_ca_files_.push_back(ca_file);
                r.ok = !config_down_ && !certificate_refused_;
                r.certificate_refused = certificate_refused_;
                if (certificate_refused_) r.error = "Failed to get https://x [SSL certificate problem: self-signed]";
                if (r.ok) r.body = doc_;
                return r;
            }});
        c_ = std::make_unique<AppController>(Table(), s, *services_);
        return *c_;
    }
    AppController& Make() { return Make(Settings()); }
    // Runs the timers for `seconds` of fake time.
    void Run(AppController& c, int seconds) {
        for (int s = 0; s < seconds; ++s) {
            for (int k = 0; k < 10; ++k) {
                clock_.Advance(100);
                c.StateUpdate();
            }
            c.Tick();
        }
    }
    void CompleteAll() {
        for (int i = 0; i < 4; ++i) engine_.Complete(engine_.Task(kNames[i]), Content(i));
    }
    int Count(uint32_t code) {
        int n = 0;
        for (uint32_t e : ui_.Events()) n += e == code;
        return n;
    }

    zl::test::TempDir sandbox_{"controller"};

    std::string root_;
    FakeEngine engine_;
    testing::NullEvents events_;
    testing::FixedPort ports_;
    testing::RecordingUi ui_;
    testing::RecordingOpener opener_;
    testing::RecordingShutdown shutdown_;
    FakeClock clock_{FakeClock::Mode::AutoAdvance};
    std::string doc_ = MirrorDoc();
    bool config_down_ = false;
    bool certificate_refused_ = false;
    std::vector<std::string> fetch_ca_files_;  // the CA file of each configuration fetch
    std::unique_ptr<ControllerServices> services_;
    std::unique_ptr<AppController> c_;
};

TEST_F(ControllerTest, FreshDownloadWalksToFinishedWithEventsInOrder) {
    AppController& c = Make();
    ASSERT_EQ(c.StartUp(), 0);
    EXPECT_EQ(c.State(), kStateReady);
    c.MainAction();
    ASSERT_EQ(c.State(), kStatePreparing);
    ASSERT_EQ(engine_.tasks.size(), 4u);
    for (const FakeTask& t : engine_.tasks) {
        EXPECT_EQ(t.flags, 0x100002u | 0x1000000u);
        EXPECT_EQ(t.metainfo.rfind("file://" + root_ + "/data/ZPHR/Zephyrloader/Zephyrloader", 0), 0u);
        EXPECT_NE(t.resume.find("ZLInfo/"), std::string::npos);
        EXPECT_EQ(t.speed_limit, 0);  // no limit set: none for every task
    }
    EXPECT_EQ(engine_.tasks[1].sources, "http://127.0.6.9/300/Data300.zip");

    // The mirror list arrives in the first second, before any data flows.
    Run(c, 1);
    c.WaitForBackgroundWork();
    EXPECT_EQ(engine_.Task("Data300.zip").urls, "http://127.0.6.2/300/Data300.zip\nhttp://127.0.6.3/300/Data300.zip\n");
    EXPECT_TRUE(engine_.p2p);
    EXPECT_EQ(c.State(), kStatePreparing);

    FakeTask& t1 = engine_.Task("Data300.zip");
    t1.progress = 100;
    t1.speed = 1024;  // exactly 1 KiB/s does not count as flowing
    Run(c, 1);
    EXPECT_EQ(c.State(), kStateReload);  // progress appeared
    t1.speed = 1025;
    Run(c, 1);
    EXPECT_EQ(c.State(), kStateDownloading);
    EXPECT_EQ(t1.servers, 9);  // 36 over four active tasks
    EXPECT_EQ(t1.peers, 27);

    // A status reported twice in a row gets one reaction.
    t1.status = 20209;
    Run(c, 2);
    t1.status = 20205;
    Run(c, 1);
    EXPECT_EQ(Count(11990202), 1);

    CompleteAll();
    Run(c, 2);
    EXPECT_EQ(c.State(), kStateFinished);
    const std::vector<uint32_t> expected = {11010000, 11990202, 11080000, 11080000, 11080000, 11080000, 11060000};
    EXPECT_EQ(ui_.Events(), expected);
    const ControllerView v = c.View();
    EXPECT_EQ(v.progress, 10000u);  // files below 1 MiB are weighed by bytes
    EXPECT_EQ(v.percent_text, "100%");

    IniFile ini(c.Folders().ini_path);
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.Get("ZephyrloaderTask", "ZephyrloaderTaskIsComplete"), "COMPLETE");
    EXPECT_EQ(ini.Get("ZephyrloaderTask", "ZephyrloaderTaskSavePath"), root_ + "/save/TLV300");
    EXPECT_TRUE(ini.Get("ZephyrloaderFinishInfo", "ZephyrloaderTask3FileSizeLow"));
}

TEST_F(ControllerTest, PauseResumeAndSpeedLimit) {
    AppController& c = Make();
    c.StartUp();
    c.MainAction();
    engine_.Task("Data300.zip").speed = 50000;
    engine_.Task("Data300.zip").progress = 10;
    Run(c, 1);
    ASSERT_EQ(c.State(), kStateDownloading);
    c.SetSpeedLimit(15);
    EXPECT_EQ(engine_.Task("Data300.zip").speed_limit, 10);  // 15 / 4 is below the 10 KiB/s minimum
    c.SetSpeedLimit(400);
    EXPECT_EQ(engine_.Task("Data300.zip").speed_limit, 100);
    c.MainAction();
    EXPECT_EQ(c.State(), kStatePause);
    EXPECT_FALSE(engine_.Task("Data300.zip").running);
    c.MainAction();
    EXPECT_EQ(c.State(), kStateResume);
    EXPECT_TRUE(engine_.Task("Data300.zip").running);
    EXPECT_EQ(Count(11020000), 1);
    EXPECT_EQ(Count(11030000), 1);
}

TEST_F(ControllerTest, TooLittleSpaceRefusesToBegin) {
    engine_.free_space = 1000;
    AppController& c = Make();
    c.StartUp();
    c.MainAction();
    EXPECT_EQ(c.State(), kStateReady);
    EXPECT_EQ(c.GetOutcome(), Outcome::kBeginFailed);
    EXPECT_TRUE(engine_.tasks.empty());
    EXPECT_EQ(ui_.Messages().at(0), "当前磁盘空间不足，请选择其他位置存放");
}

TEST_F(ControllerTest, FailedTaskCreationIsReported) {
    engine_.create_result = -107;
    AppController& c = Make();
    c.StartUp();
    c.MainAction();
    EXPECT_EQ(c.State(), kStateReady);
    EXPECT_EQ(c.GetOutcome(), Outcome::kBeginFailed);
    EXPECT_EQ(ui_.Messages().back(), "下载启动失败请重试");
}

TEST_F(ControllerTest, WriteFailureFails) {
    AppController& c = Make();
    c.StartUp();
    c.MainAction();
    engine_.Task("Data30001.cab").status = 20215;
    Run(c, 1);
    EXPECT_EQ(c.State(), kStateFailed);
    EXPECT_EQ(ui_.Messages().back(), "由于磁盘损坏无法写入，下载失败");
}

TEST_F(ControllerTest, RestartFindsTheFinishedPackageThenATouchedFile) {
    {
        AppController& c = Make();
        c.StartUp();
        c.MainAction();
        CompleteAll();
        Run(c, 2);
        ASSERT_EQ(c.State(), kStateFinished);
        c.SetUserExit();
        c.ExitLogging();
    }
    {
        AppController& c = Make();
        EXPECT_EQ(c.StartUp(), 1);
        EXPECT_EQ(c.State(), kStateFinished);
        c.SetUserExit();
        c.ExitLogging();
    }
    const std::string touched = root_ + "/save/TLV300/Data30001.cab";
    std::filesystem::last_write_time(touched, std::filesystem::last_write_time(touched) + std::chrono::seconds(5));
    AppController& c = Make();
    EXPECT_EQ(c.StartUp(), 1);
    EXPECT_EQ(c.State(), kStateReload);
    // Only the touched file gets a task again.
    ASSERT_FALSE(engine_.tasks.empty());
    EXPECT_NE(engine_.tasks.back().target.find("Data30001.cab"), std::string::npos);
}

TEST_F(ControllerTest, VerifiedInstallAndAutoShutdown) {
    ControllerSettings s = Settings();
    s.auto_shutdown = true;
    AppController& c = Make(s);
    c.StartUp();
    c.MainAction();
    CompleteAll();
    Run(c, 2);
    ASSERT_EQ(c.State(), kStateFinished);
    EXPECT_EQ(shutdown_.scheduled, std::vector<std::string>{"一分钟后将自动关机"});
    ui_.answer = true;  // verify before installing
    c.MainAction();
    c.WaitForBackgroundWork();
    EXPECT_EQ(c.State(), kStateCheckFinished);
    Run(c, 1);  // the install that verification asked for
    ASSERT_EQ(opener_.opened.size(), 1u);
    EXPECT_EQ(opener_.opened[0], root_ + "/save/TLV300/Talvora300.exe");
    EXPECT_TRUE(c.ExitRequested());
    EXPECT_EQ(c.GetOutcome(), Outcome::kInstallerLaunched);
    EXPECT_EQ(Count(11100001), 1);
    EXPECT_EQ(Count(11100004), 1);
}

TEST_F(ControllerTest, RepairRoundThenSuccess) {
    AppController& c = Make();
    c.StartUp();
    c.MainAction();
    CompleteAll();
    Run(c, 2);
    const std::string bad = root_ + "/save/TLV300/Data300.zip";
    std::string corrupted = Content(1);
    corrupted[7] ^= 1;
    ASSERT_TRUE(WriteFileAtomic(bad, corrupted));
    engine_.repair_content[bad] = Content(1);
    c.Verify(false);
    c.WaitForBackgroundWork();
    EXPECT_EQ(c.State(), kStateCheckFinished);
    EXPECT_EQ(Count(11500201), 1);
    EXPECT_EQ(Count(11100003), 1);
    EXPECT_EQ(Count(11100004), 1);
    EXPECT_EQ(c.GetOutcome(), Outcome::kVerified);
}

TEST_F(ControllerTest, RepairThatGetsNowhereEndsFailed) {
    AppController& c = Make();
    c.StartUp();
    c.MainAction();
    CompleteAll();
    Run(c, 2);
    ASSERT_TRUE(WriteFileAtomic(root_ + "/save/TLV300/Data30002.cab", "short"));
    c.Verify(false);  // the recovered task never progresses: the stall limit ends it
    c.WaitForBackgroundWork();
    EXPECT_EQ(c.State(), kStateFailed);
    EXPECT_EQ(c.GetOutcome(), Outcome::kVerifyFailed);
    EXPECT_EQ(Count(11990501), 1);
}

TEST_F(ControllerTest, InstallerMissingAndOpenFailure) {
    AppController& c = Make();
    c.StartUp();
    c.MainAction();
    CompleteAll();
    Run(c, 2);
    std::filesystem::remove(root_ + "/save/TLV300/Talvora300.exe");
    ui_.answer = false;
    c.MainAction();
    EXPECT_EQ(ui_.Messages().back(), "安装程序丢失");
    EXPECT_EQ(Count(11600102), 1);
    EXPECT_EQ(c.State(), kStateFinished);
    ASSERT_TRUE(WriteFileAtomic(root_ + "/save/TLV300/Talvora300.exe", "x"));
    opener_.result = 31;
    c.MainAction();
    EXPECT_EQ(Count(11600101), 1);
    EXPECT_FALSE(c.ExitRequested());
}

TEST_F(ControllerTest, ExitPathsAreLoggedOnce) {
    AppController& c = Make();
    c.StartUp();
    c.MainAction();
    engine_.Task("Data300.zip").speed = 5000;
    Run(c, 1);
    c.SetUserExit();
    c.ExitLogging();
    c.ExitLogging();
    EXPECT_EQ(Count(11040000), 1);  // a user exit during a download
    const std::vector<std::string> calls = engine_.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "cleanup"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "log-close"), 1);
}

TEST_F(ControllerTest, UnexpectedExitIsReported) {
    AppController& c = Make();
    c.StartUp();
    c.ExitLogging();
    EXPECT_EQ(c.State(), kStateExiting);
    EXPECT_EQ(Count(11990501), 1);
}

TEST_F(ControllerTest, ExpiredConfigurationOpensOnlyWebUrls) {
    doc_ = "<project><configs><expire-info><expired>true</expired><message>请下载新版</message>"
           "<url>file:///etc/passwd</url></expire-info></configs></project>";
    AppController& c = Make();
    c.StartUp();
    EXPECT_TRUE(c.CheckExpired());
    EXPECT_TRUE(opener_.opened.empty());
    EXPECT_EQ(ui_.Messages().back(), "请下载新版");
    doc_ = "<project><configs><expire-info><expired>true</expired><message>m</message>"
           "<url>https://127.0.6.9/new</url></expire-info></configs></project>";
    EXPECT_TRUE(c.CheckExpired());
    EXPECT_EQ(opener_.opened, std::vector<std::string>{"https://127.0.6.9/new"});
    config_down_ = true;
    EXPECT_FALSE(c.CheckExpired());
}

// A configuration server whose certificate does not verify is not believed:
// the refusal is logged and reported (with libcurl's reason), no mirror list or
// P2P switch is taken from it, and the download goes on from the default mirror.
TEST_F(ControllerTest, ARefusedCertificateIsReportedAndTheDefaultMirrorsStay) {
    certificate_refused_ = true;
    doc_ = "<project><configs><expire-info><expired>true</expired><message>m</message></expire-info></configs></project>";
    AppController& c = Make();
    ASSERT_EQ(c.StartUp(), 0);
    EXPECT_FALSE(c.CheckExpired());
    EXPECT_EQ(Count(11500107), 1);
    c.MainAction();
    Run(c, 1);
    c.WaitForBackgroundWork();
    EXPECT_EQ(Count(11500107), 2);
    EXPECT_EQ(engine_.Task("Data300.zip").sources, "http://127.0.6.9/300/Data300.zip");
    EXPECT_EQ(engine_.Task("Data300.zip").urls, "");  // no mirror list was handed over
    EXPECT_FALSE(engine_.p2p);
    CompleteAll();
    Run(c, 2);
    EXPECT_EQ(c.State(), kStateFinished);
    EXPECT_EQ(fetch_ca_files_, (std::vector<std::string>{"", ""}));  // the system's store
}

// The CA file comes from --ca-file, else from the INI's ZephyrloaderCaFile; it
// serves the configuration fetch and the statistics posts alike.
TEST_F(ControllerTest, TheCaFileComesFromTheSettingElseFromTheIni) {
    {
        AppController& c = Make();
        c.StartUp();
        c.SetUserExit();
        c.ExitLogging();
        IniFile ini(c.Folders().ini_path);
        ini.Load();
        ASSERT_TRUE(ini.Set("ZephyrloaderTask", "ZephyrloaderCaFile", "/etc/site/ca.pem"));
        ASSERT_TRUE(ini.Save());
    }
    AppController& c = Make();
    c.StartUp();
    c.CheckExpired();
    EXPECT_EQ(events_.ca_file_seen, "/etc/site/ca.pem");
    EXPECT_EQ(fetch_ca_files_.back(), "/etc/site/ca.pem");
    c.SetUserExit();
    c.ExitLogging();

    ControllerSettings s = Settings();
    s.ca_file = "/opt/other.pem";
    AppController& d = Make(s);
    d.StartUp();
    d.CheckExpired();
    EXPECT_EQ(events_.ca_file_seen, "/opt/other.pem");
    EXPECT_EQ(fetch_ca_files_.back(), "/opt/other.pem");
}

// The INI names the installer and the task hash; neither may lead out of its
// folder: the installer launched must be in the save folder, the task
// information in the application folder.
TEST_F(ControllerTest, IniNamesThatLeaveTheirFolderAreNotUsed) {
    {
        AppController& c = Make();
        c.StartUp();
        c.MainAction();
        CompleteAll();
        Run(c, 2);
        ASSERT_EQ(c.State(), kStateFinished);
        c.SetUserExit();
        c.ExitLogging();
    }
    const std::string id = Md5Hex(Md5Of(Content(0).data(), Content(0).size()));
    const std::string app_folder = root_ + "/data/ZPHR/Zephyrloader/Zephyrloader" + id;
    IniFile ini(app_folder + "/" + id + ".zlconf");
    ASSERT_TRUE(ini.Load());
    ASSERT_TRUE(ini.Set("ZephyrloaderTask", "ZephyrloaderTaskEntrence", "../evil.sh"));
    ASSERT_TRUE(ini.Set("ZephyrloaderTask", "ZephyrloaderTaskHash", "../../../escaped"));
    ASSERT_TRUE(ini.Save());
    ASSERT_TRUE(WriteFileAtomic(root_ + "/save/evil.sh", "#!/bin/sh\n"));
    const std::string touched = root_ + "/save/TLV300/Data300.zip";
    std::filesystem::last_write_time(touched, std::filesystem::last_write_time(touched) + std::chrono::seconds(5));

    AppController& c = Make();
    EXPECT_EQ(c.StartUp(), 1);
    ASSERT_FALSE(engine_.tasks.empty());
    EXPECT_EQ(engine_.tasks.back().resume.rfind(app_folder + "/" + id + "ZLInfo/", 0), 0u) << engine_.tasks.back().resume;
    EXPECT_FALSE(std::filesystem::exists(root_ + "/data/escapedZLInfo"));
    engine_.Complete(engine_.Task("Data300.zip"), Content(1));
    Run(c, 2);
    ASSERT_EQ(c.State(), kStateFinished);
    ui_.answer = false;  // install without verifying
    c.MainAction();
    EXPECT_EQ(opener_.opened, std::vector<std::string>{root_ + "/save/TLV300/Talvora300.exe"});
}

// The download time is kept as 32-bit "%u" text; a value outside that range
// (an INI edited by hand or damaged) starts the count over instead of
// overflowing on the next second.
TEST_F(ControllerTest, DownloadTimeOutsideItsRangeStartsOver) {
    const std::string id = Md5Hex(Md5Of(Content(0).data(), Content(0).size()));
    const std::string ini_path = root_ + "/data/ZPHR/Zephyrloader/Zephyrloader" + id + "/" + id + ".zlconf";
    for (const char* stored : {"9223372036854775807", "-5", "4294967296"}) {
        IniFile ini(ini_path);
        ini.Load();
        ASSERT_TRUE(ini.Set("ZephyrloaderTask", "ZephyrloaderTaskDownloadTime", stored));
        ASSERT_TRUE(ini.Save());
        AppController& c = Make();
        c.StartUp();
        if (c.State() == kStateReady) c.MainAction();
        ASSERT_TRUE(IsDownloadingState(c.State())) << stored;
        Run(c, 1);
        c.SetUserExit();
        c.ExitLogging();
        ASSERT_TRUE(ini.Load());
        EXPECT_EQ(ini.GetString("ZephyrloaderTask", "ZephyrloaderTaskDownloadTime"), "1") << stored;
    }
}

}  // namespace
}  // namespace zl::app
