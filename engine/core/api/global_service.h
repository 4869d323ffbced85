// A process-wide engine service that lives while tasks exist (UDP server,
// shared listener, LAN discovery, DHT). The engine context calls these when
// the first task registers, when the last one goes, and at engine clean-up.
#pragma once

namespace zl {

class EngineContext;

class GlobalService {
public:
    virtual ~GlobalService() = default;
    virtual void OnFirstTask(EngineContext&) {}
    virtual void OnLastTaskGone(EngineContext&) {}
    // Engine clean-up, after every task is gone: stop threads, free everything.
    virtual void OnCleanup(EngineContext&) {}
};

}  // namespace zl
