// The mirror list: fetched on a thread of its own when downloading begins and
// every 600 s, at most one fetch at a time and each with a time limit.
#include "app/app_events.h"
#include "app/app_log.h"
#include "app/controller.h"
#include "engine/core/api/engine_codes.h"

namespace zl::app {

void AppController::StartMirrorFetch() {
    if (stopping_ || mirror_busy_.exchange(true)) return;
    if (mirror_thread_.joinable()) mirror_thread_.join();
    mirror_thread_ = std::thread([this] {
        MirrorFetchRun();
        mirror_busy_ = false;
    });
}

FetchResult AppController::FetchConfiguration(long timeout_s) {
    std::string url, ca_file;
    {
        std::lock_guard lock(m_);
        url = table_.config_url;
        ca_file = ca_file_;
    }
    FetchResult r = s_.fetch(url, timeout_s, ca_file);
    if (r.certificate_refused) {
        // Whoever answers without the server's certificate could replace the
        // mirror list, the P2P switch and the expiry notice: nothing of it is used.
        const std::string text = "the server configuration was refused, its certificate did not verify: " + r.error +
                                 "; the download goes on with the mirrors it has";
        AppLog(text, kLogFailure);
        std::lock_guard lock(m_);
        if (!stopping_ && !exit_logged_) Report({kEventConfigCertificateRefused, text, "", false, {}});
    }
    return r;
}

void AppController::MirrorFetchRun() {
    std::array<bool, kPackageFiles> skip{};
    {
        std::lock_guard lock(m_);
        const int verifying = verifying_file_;
        for (int i = 0; i < kPackageFiles; ++i) skip[size_t(i)] = files_[size_t(i)].complete && i != verifying;
    }
    const FetchResult r = FetchConfiguration(settings_.mirror_timeout_s);
    if (stopping_) return;
    if (!r.ok) {
        AppLog("Seek res FAILED with XML content failed", kLogFailure);
        return;
    }
    const ServerConfig config = WalkServerConfig(r.body, table_, [&](int i) { return skip[size_t(i)]; });
    if (config.rejected > 0)
        AppLog("mirror entries refused: " + std::to_string(config.rejected), kLogFailure);
    std::lock_guard lock(m_);
    if (stopping_ || exit_logged_) return;
    if (config.has_switch) {
        p2p_ = config.p2p;
        AppLog(p2p_ ? "启用P2P功能" : "禁用P2P功能");
        s_.engine.SetP2PSwitch(p2p_);
    }
    if (config.result != 0) return;
    for (int i = 0; i < kPackageFiles; ++i) {
        const std::vector<MirrorSource>& list = config.sources[size_t(i)];
        const TaskHandle handle = files_[size_t(i)].handle;
        if (list.empty() || !handle) continue;
        std::string urls, hosts;
        for (const MirrorSource& m : list) {
            urls += m.url + "\n";
            hosts += m.host + "\n";
        }
        s_.engine.ClearServers(handle);
        s_.engine.AddServers(handle, urls, hosts);
    }
}

}  // namespace zl::app
