// A controller on the scripted engine and a manual fake clock, with a small
// package of four files, for the tests of the window and its driver. The
// user interface is the caller's (a recording one, or the window's own).
#pragma once
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/controller.h"
#include "engine/base/fake_clock.h"
#include "engine/meta/atomic_file.h"
#include "engine/meta/md5.h"
#include "tests/app/fake_engine.h"

namespace zl::app::testing {

inline const char* const kHarnessNames[] = {"Talvora300.exe", "Data300.zip", "Data30001.cab", "Data30002.cab"};

class ControllerHarness {
public:
    // `fresh`: the folder starts empty; otherwise what an earlier harness left stays.
    explicit ControllerHarness(const std::string& root, bool fresh = true) : root_(root) {
        if (fresh) std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ + "/cwd");
        std::filesystem::create_directories(root_ + "/save");
        for (int id = 301; id <= 304; ++id)
            if (!WriteFileAtomic(root_ + "/resources/TORRENT/" + std::to_string(id), "d4:infod6:lengthi1eee"))
                throw std::runtime_error("cannot write the test's resources under " + root_);
    }
    ~ControllerHarness() { Exit(); }

    static std::string Content(int i) { return std::string(size_t(2000 + 500 * i), char('a' + i)); }
    static PackageTable Table() {
        PackageTable t;
        for (int i = 0; i < 4; ++i) {
            const std::string c = Content(i);
            t.files[size_t(i)] = {kHarnessNames[i], c.size(), Md5Hex(Md5Of(c.data(), c.size())), 301 + i,
                                  std::string("/300/") + kHarnessNames[i]};
        }
        t.mirror_host = "127.0.13.9";
        t.config_url = "https://127.0.13.9/downloader/TlvResourceList.xml";
        return t;
    }
    ControllerSettings Settings() const {
        ControllerSettings s;
        s.data_root = root_ + "/data";
        s.save_folder = root_ + "/save";
        s.cwd = root_ + "/cwd";
        s.resources_dir = root_ + "/resources";
        s.prefix_hashing = false;
        s.verify_threads = 1;
        s.repair_stall_limit_s = 30;
        return s;
    }
    AppController& Make(UserInterface& ui) { return Make(ui, Settings()); }
    AppController& Make(UserInterface& ui, ControllerSettings s) {
        services_ = std::make_unique<ControllerServices>(ControllerServices{
            engine, events, ports, ui, opener, shutdown, clock, [](const std::string&, long, const std::string&) {
                FetchResult r;
                r.ok = true;
                r.body = "<project><configs><p2p-switch>on</p2p-switch></configs></project>";
                return r;
            }});
        controller_ = std::make_unique<AppController>(Table(), s, *services_);
        return *controller_;
    }
    // Every file's task completes with the right content.
    void CompleteAll() {
        for (int i = 0; i < 4; ++i) engine.Complete(engine.Task(kHarnessNames[i]), Content(i));
    }
    std::string Target(int i) const { return root_ + "/save/TLV300/" + kHarnessNames[i]; }
    std::string IniText() const {
        const std::optional<std::string> text = ReadWholeFile(controller_->Folders().ini_path, 1 << 20);
        return text ? *text : "";
    }
    void Exit() {
        if (!controller_) return;
        controller_->SetUserExit();
        controller_->ExitLogging();
        controller_.reset();
    }
    const std::string& Root() const { return root_; }

    FakeEngine engine;
    NullEvents events;
    FixedPort ports;
    RecordingOpener opener;
    RecordingShutdown shutdown;
    FakeClock clock{FakeClock::Mode::Manual};

private:
    std::string root_;
    std::unique_ptr<ControllerServices> services_;
    std::unique_ptr<AppController> controller_;
};

}  // namespace zl::app::testing
