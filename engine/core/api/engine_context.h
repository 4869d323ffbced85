// Everything process-wide that the engine needs: the clock in use and the
// engine clock built on it, the global locks, the task registry, the engine
// switches and the services that live while tasks exist. The flat interface
// works on one default context; tests make their own, e.g. on a FakeClock.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/clock.h"
#include "engine/core/api/engine_switches.h"
#include "engine/core/api/global_service.h"
#include "engine/core/peers/ip_filter.h"
#include "engine/base/message_box.h"
#include "engine/base/message_sink.h"
#include "engine/core/task/metainfo_source.h"
#include "engine/base/qmutex.h"
#include "engine/core/task/resume_info.h"
#include "engine/core/api/task_registry.h"
#include "engine/meta/buffer_pool.h"
#include "engine/meta/disk_space.h"
#include "engine/udp/udp_server.h"

namespace zl {

class DhtService;
class EngineClockService;
class IStreamTransport;
class UdpStreamService;
class SharedListener;

class EngineContext {
public:
    // `pools`: the buffer pools to use (null: the context keeps its own set).
    explicit EngineContext(Clock& clock = SystemClock(), BufferPools* pools = nullptr);
    EngineContext(const EngineContext&) = delete;
    EngineContext& operator=(const EngineContext&) = delete;
    // Runs the engine clean-up, so an engine is torn down even when the
    // application never called it.
    ~EngineContext();

    // The context behind the flat Engine*/Task* functions.
    static EngineContext& Default();

    Clock& GetClock() { return *clock_; }
    // Switches to another clock; refused (false) while tasks or the clock thread exist.
    bool SetClock(Clock& clock);

    // Engine clock seconds and uptime seconds (the clock thread starts on first use).
    uint64_t ClockSeconds();
    uint32_t UptimeSeconds();

    // The global locks, in their order (the whole order is in task_work_thread.h):
    // api -> (a task lock) -> data; the disk lock is taken alone, around file I/O.
    QTMutex& ApiLock() { return api_lock_; }
    QTMutex& DataLock() { return data_lock_; }
    QTMutex& DiskLock() { return disk_lock_; }

    TaskRegistry& Registry() { return registry_; }
    // The piece-data, hash-state, socket-buffer and request-record pools.
    BufferPools& Pools() { return *pools_; }
    EngineSwitches& Switches() { return switches_; }

    // Initialised between EngineStartup and EngineCleanup (guarded by the api lock).
    bool Initialised() const { return initialised_; }
    void SetInitialised(bool on) { initialised_ = on; }
    const std::string& DataDirectory() const { return data_directory_; }
    void SetDataDirectory(std::string dir) { data_directory_ = std::move(dir); }

    // 16 bytes, created by the first task's set-up; the first byte is never 0 then.
    std::array<uint8_t, 16> NodeIdentity();

    // The seed of the tasks' random generators. 0 (the default): every task
    // gets a fresh one. Otherwise task n created after the call gets a seed
    // derived from this one and n, so a run with the same seed and the same
    // order of task creation makes the same random picks.
    void SetRandomSeed(uint64_t seed);
    uint64_t RandomSeed() const { return random_seed_.load(); }
    // A seed for the next task's generators.
    uint64_t NextTaskSeed();

    // Called from a task's construction and destruction.
    void RegisterTask(TBaseWork* task);
    void UnregisterTask(TBaseWork* task);

    // Destroys every task, stops the services and the clock thread.
    void DestroyAllTasksAndServices();

    // Services of later layers join here; the context does not own them.
    void AddService(GlobalService* service);
    void RemoveService(GlobalService* service);

    // The resume-info codec and the metainfo parser (by default those of the
    // bencode, torrent and storage libraries; null switches the feature off).
    void SetResumeCodec(std::shared_ptr<ResumeInfoCodec> codec);
    std::shared_ptr<ResumeInfoCodec> ResumeCodec();
    void SetMetainfoParser(std::shared_ptr<MetainfoParser> parser);
    std::shared_ptr<MetainfoParser> Parser();

    // The free-space probe the tasks' piece maps ask before sizing files (null:
    // the real volume query). The probe must outlive the tasks that use it.
    void SetDiskSpaceProbe(DiskSpaceProbe* probe);
    DiskSpaceProbe* DiskProbe();

    // The engine's IP filter and the file it is loaded from ("" loads nothing).
    void SetIpFilterPath(std::string path);
    // Under the data lock: reloads the engine's filter when it holds no range,
    // then returns a copy for a task that is building its piece map.
    CIPFilter TaskIpFilter();

    void SetMessageSink(std::shared_ptr<MessageSink> sink);
    std::shared_ptr<MessageSink> Sink();

    // The file system the tasks store their data and progress on (null: the
    // real one). Tests install one that can lose what was not made durable;
    // set it before the first task starts and keep it alive past the last.
    void SetFileSystem(FileSystem* fs) { file_system_ = fs; }
    FileSystem& Files() const { return file_system_ ? *file_system_ : RealFileSystem(); }
    // Off: saved progress names pieces without flushing their data first, so
    // a power cut can leave trusted pieces that never reached the disk. Only
    // for measuring what the flushes cost; on by default.
    void SetDurableProgress(bool on) { durable_progress_ = on; }
    bool DurableProgress() const { return durable_progress_.load(); }
    // Threads per task that check the hashes of completed pieces, so the
    // thread receiving the data never waits for them (0: checked on the
    // receiving thread). One by default where a second core is there to run
    // it; none on a clock other than the system's (a simulation).
    void SetHashThreads(int32_t threads) { hash_threads_ = threads; }
    int32_t HashThreads() const { return hash_threads_.load(); }

    // The transport the tasks' TCP connections use (null: the operating
    // system's TCP). Tests install a simulated network here; set it before the
    // first task starts and keep it alive until the last one is gone.
    void SetStreamTransport(IStreamTransport* transport) { stream_transport_ = transport; }
    IStreamTransport* StreamTransport() const { return stream_transport_; }
    AsyncMessageBoxes& MessageBoxes() { return message_boxes_; }

    // The engine's UDP server: started by the first task's set-up with the
    // record below (by default the engine's, port 8000, with the node id) and
    // stopped at clean-up.
    UdpServer& GetUdpServer() { return *udp_server_; }
    // The DHT node, running while tasks exist when the DHT switch is on.
    DhtService& Dht() { return *dht_; }
    // The UDP stream transport on the UDP server, with the rendezvous server
    // it registers with ("" and 0: the UDP server's record) and the UDP port
    // (-1: the record's; 0: any free one). On unless switched off before the
    // first task; off, nothing registers and no connection goes over UDP.
    // (engine_udp_stream.cpp)
    void SetUdpStream(bool on, const std::string& rendezvous_host = "", int32_t rendezvous_port = 0,
                      int32_t udp_port = -1);
    // What sockets in UDP mode use (null while off).
    IStreamTransport* UdpStreamCalls();
    UdpStreamService* UdpStream() { return udp_stream_.get(); }
    // Relayed (UDP stream) connections are wanted: the engine is not directly
    // reachable and the rendezvous server reported its external address.
    bool WantsRelayedPeers();
    void SetUdpServerConfig(const UdpServerConfig& config);

    // The TCP listener shared by the tasks, with LAN discovery; closed when
    // the last task goes.
    SharedListener& Listener() { return *listener_; }

private:
    void GlobalSetUp();
    void GlobalTeardown();
    std::vector<GlobalService*> Services();
    void StartClockThread();
    void StartUdpServer();
    std::unique_ptr<UdpServer> MakeUdpServer(Clock& clock);
    void StopClockThread();

    Clock* clock_;
    QTMutex api_lock_;
    QTMutex data_lock_;
    QTMutex disk_lock_;
    TaskRegistry registry_{data_lock_};
    EngineSwitches switches_;
    bool initialised_ = false;
    std::string data_directory_;
    std::array<uint8_t, 16> node_identity_{};
    std::atomic<uint64_t> random_seed_{0};
    std::atomic<uint64_t> tasks_seeded_{0};
    std::unique_ptr<BufferPools> own_pools_;
    BufferPools* pools_;
    std::unique_ptr<EngineClockService> engine_clock_;  // replaced only while no task exists

    std::mutex hooks_mutex_;
    std::vector<GlobalService*> services_;
    std::shared_ptr<ResumeInfoCodec> resume_codec_;
    IStreamTransport* stream_transport_ = nullptr;
    FileSystem* file_system_ = nullptr;
    std::atomic<bool> durable_progress_{true};
    std::atomic<int32_t> hash_threads_{1};
    std::shared_ptr<MetainfoParser> metainfo_parser_;
    std::shared_ptr<MessageSink> message_sink_;
    DiskSpaceProbe* disk_probe_ = nullptr;
    CIPFilter ip_filter_;        // under the data lock
    std::string ip_filter_path_; // under the data lock
    AsyncMessageBoxes message_boxes_;
    std::unique_ptr<UdpServer> udp_server_;
    std::unique_ptr<UdpStreamService> udp_stream_;  // after the server: it goes first
    bool udp_stream_on_ = true;                      // guarded by hooks_mutex_, with the two below
    std::string rendezvous_host_;
    int32_t rendezvous_port_ = 0;
    int32_t udp_port_ = -1;
    void AttachUdpStream();
    void ApplyRendezvous(UdpServerConfig* config);
    std::unique_ptr<DhtService> dht_;
    std::unique_ptr<UdpServerConfig> udp_config_;  // guarded by hooks_mutex_; null: the defaults
    std::unique_ptr<SharedListener> listener_;  // last: it goes first, while the locks exist
};

}  // namespace zl
