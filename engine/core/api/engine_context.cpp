#include "engine/core/api/engine_context.h"
#include "engine/core/peers/peer_identity.h"
#include "engine/core/sched/task_random.h"

#include <sys/random.h>

#include <algorithm>

#include "engine/base/engine_clock.h"
#include "engine/core/api/dht_service.h"
#include "engine/core/api/engine_listener.h"
#include "engine/core/task/half_open_limit.h"
#include "engine/core/task/task_base_work.h"
#include "engine/core/task/task_meta_hooks.h"
#include "engine/udp/udp_stream_service.h"

namespace zl {

EngineContext::EngineContext(Clock& clock, BufferPools* pools)
    : clock_(&clock), own_pools_(pools ? nullptr : std::make_unique<BufferPools>()),
      pools_(pools ? pools : own_pools_.get()), engine_clock_(std::make_unique<EngineClockService>(clock)),
      resume_codec_(MakeTaskInfoCodec()), metainfo_parser_(MakeTorrentParser()),
      message_sink_(std::make_shared<ConsoleMessageSink>()),
      udp_server_(MakeUdpServer(clock)), dht_(std::make_unique<DhtService>(*this)),
      listener_(MakeSharedListener(*this)) {
    // On a clock of its own (a simulation on virtual time) a verdict must not
    // race real time: pieces are checked at once, so runs repeat exactly.
    if (&clock != &SystemClock() || std::thread::hardware_concurrency() < 2) hash_threads_ = 0;
    AttachUdpStream();
}

std::unique_ptr<UdpServer> EngineContext::MakeUdpServer(Clock& clock) {
    auto server = std::make_unique<UdpServer>(clock);
    server->SetTransportSuspendedProbe([this] { return switches_.udp_stream_off.load(); });
    server->SetTrimPool(&pools_->socket_buffer);
    return server;
}

EngineContext::~EngineContext() {
    ScopedLock api(api_lock_);
    DestroyAllTasksAndServices();
    initialised_ = false;
    api.Release();
    message_boxes_.JoinAll();
}

EngineContext& EngineContext::Default() {
    // Destroyed at process exit, which tears the engine down even when the
    // application never called EngineCleanup.
    static EngineContext context(SystemClock(), &SharedBufferPools());
    return context;
}

bool EngineContext::SetClock(Clock& clock) {
    ScopedLock api(api_lock_);
    ScopedLock data(data_lock_);
    if (registry_.Size() != 0 || engine_clock_->Running()) return false;
    clock_ = &clock;
    engine_clock_ = std::make_unique<EngineClockService>(clock);
    if (udp_server_->GetThreadId() == 0) {
        udp_stream_.reset();
        udp_server_ = MakeUdpServer(clock);
        AttachUdpStream();
    }
    return true;
}

uint64_t EngineContext::ClockSeconds() { return engine_clock_->Clock(); }
uint32_t EngineContext::UptimeSeconds() { return engine_clock_->Uptime(); }

void EngineContext::StartClockThread() { engine_clock_->Start(); }
void EngineContext::StopClockThread() { engine_clock_->Stop(); }

void EngineContext::SetRandomSeed(uint64_t seed) {
    random_seed_.store(seed);
    tasks_seeded_.store(0);
}

uint64_t EngineContext::NextTaskSeed() {
    const uint64_t seed = random_seed_.load();
    if (seed == 0) return TaskRandom::FreshSeed();
    return TaskRandom::Derive(seed, tasks_seeded_.fetch_add(1) + 1);
}

std::array<uint8_t, 16> EngineContext::NodeIdentity() {
    ScopedLock data(data_lock_);
    return node_identity_;
}

void EngineContext::RegisterTask(TBaseWork* task) {
    if (registry_.Add(task)) GlobalSetUp();
}

void EngineContext::UnregisterTask(TBaseWork* task) {
    if (registry_.Remove(task)) GlobalTeardown();
}

void EngineContext::GlobalSetUp() {
    StartClockThread();
    {
        ScopedLock data(data_lock_);
        if (node_identity_[0] == 0) {
            size_t filled = 0;
            while (filled < node_identity_.size()) {
                const ssize_t n = ::getrandom(node_identity_.data() + filled, node_identity_.size() - filled, 0);
                if (n <= 0) break;
                filled += static_cast<size_t>(n);
            }
            node_identity_ = NormaliseNodeIdentity(node_identity_);
        }
    }
    // The UDP server (configured with the node identity) and the other
    // services start here.
    for (GlobalService* service : Services()) service->OnFirstTask(*this);
    switches_.udp_stream_off = false;
    switches_.dht = switches_.dht_enabled.load();  // off unless asked for: no thread, no router sources
    switches_.directly_reachable = false;
    switches_.half_open_limit = HalfOpenLimitFromProbe(ProbeHalfOpenLimit());
    StartUdpServer();
    if (switches_.dht) dht_->Start();
}

// The rendezvous service is reached at a literal loopback address unless the
// application configures another.
static constexpr const char* kDefaultRendezvousHost = "127.0.0.1";

void EngineContext::StartUdpServer() {
    UdpServerConfig config;
    bool configured = false;
    {
        std::lock_guard<std::mutex> guard(hooks_mutex_);
        configured = udp_config_ != nullptr;
        config = configured ? *udp_config_ : DefaultUdpServerConfig(kDefaultRendezvousHost, NodeIdentity());
    }
    if (!configured) {
        // The UDP socket follows the TCP listener's endpoint when one is set,
        // so two engines on one host (each bound to its own address) can both
        // take DHT traffic.
        if (switches_.listen_port.load() != 0) config.local_port = switches_.listen_port.load();
        if (const uint32_t bind = switches_.bind_address.load(); bind != 0) {
            udp_server_->SetBindAddress(bind);
            config.local_address = bind;
        }
    }
    {
        std::lock_guard<std::mutex> guard(hooks_mutex_);
        ApplyRendezvous(&config);
    }
    udp_server_->StartServer(config);
}

void EngineContext::SetUdpServerConfig(const UdpServerConfig& config) {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    udp_config_ = std::make_unique<UdpServerConfig>(config);
}

void EngineContext::GlobalTeardown() {
    // Listeners, LAN discovery, the rendezvous activity and the DHT stop here.
    for (GlobalService* service : Services()) service->OnLastTaskGone(*this);
    listener_->Shutdown();
    switches_.udp_stream_off = true;
    switches_.dht = false;
    switches_.directly_reachable = false;
    dht_->Pause();
    udp_server_->ResetTransport();
}

void EngineContext::DestroyAllTasksAndServices() {
    // A task's destruction stops its thread and unregisters it; the data lock
    // is never held while a thread is waited for.
    while (TBaseWork* task = registry_.First()) {
        delete task;
    }
    registry_.Clear();
    for (GlobalService* service : Services()) service->OnCleanup(*this);
    dht_->Shutdown();
    listener_->Shutdown();
    if (udp_server_->GetThreadId() != 0) udp_server_->StopServer();
    StopClockThread();
}

std::vector<GlobalService*> EngineContext::Services() {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    return services_;
}

void EngineContext::AddService(GlobalService* service) {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    if (std::find(services_.begin(), services_.end(), service) == services_.end()) services_.push_back(service);
}

void EngineContext::RemoveService(GlobalService* service) {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    services_.erase(std::remove(services_.begin(), services_.end(), service), services_.end());
}

void EngineContext::SetResumeCodec(std::shared_ptr<ResumeInfoCodec> codec) {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    resume_codec_ = std::move(codec);
}

std::shared_ptr<ResumeInfoCodec> EngineContext::ResumeCodec() {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    return resume_codec_;
}

void EngineContext::SetMetainfoParser(std::shared_ptr<MetainfoParser> parser) {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    metainfo_parser_ = std::move(parser);
}

std::shared_ptr<MetainfoParser> EngineContext::Parser() {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    return metainfo_parser_;
}

void EngineContext::SetMessageSink(std::shared_ptr<MessageSink> sink) {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    message_sink_ = std::move(sink);
}

std::shared_ptr<MessageSink> EngineContext::Sink() {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    return message_sink_;
}

void EngineContext::SetDiskSpaceProbe(DiskSpaceProbe* probe) {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    disk_probe_ = probe;
}

DiskSpaceProbe* EngineContext::DiskProbe() {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    return disk_probe_;
}

void EngineContext::SetIpFilterPath(std::string path) {
    ScopedLock data(data_lock_);
    ip_filter_path_ = std::move(path);
    // The next task that builds its piece map loads the new file.
    ip_filter_.ResetIpFilter();
}

CIPFilter EngineContext::TaskIpFilter() {
    ScopedLock data(data_lock_);
    if (ip_filter_.RangeCount() == 0) {
        ip_filter_.ResetIpFilter();
        if (!ip_filter_path_.empty()) ip_filter_.LoadIpFilter(ip_filter_path_);
    }
    return ip_filter_;
}

}  // namespace zl
