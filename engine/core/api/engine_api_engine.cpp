// Engine-wide interface functions.
#include <cstring>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_api_detail.h"

namespace zl {

using api_detail::Guarded;

int32_t EngineStartup(EngineContext& c, const char* data_directory) {
    ScopedLock api(c.ApiLock());
    if (c.Initialised()) return ENGINE_OK;
    // The socket layer needs no process-wide start on this platform (sends use
    // MSG_NOSIGNAL), so ENGINE_E_SOCKETS cannot occur here.
    c.SetDataDirectory(data_directory ? std::string(data_directory, strnlen(data_directory, kTaskTextSize - 1)) : "");
    c.SetInitialised(true);
    return ENGINE_OK;
}

int32_t EngineCleanup(EngineContext& c) {
    ScopedLock api(c.ApiLock());
    if (!c.Initialised()) return ENGINE_OK;
    return Guarded([&] {
        c.DestroyAllTasksAndServices();
        c.SetInitialised(false);
        return ENGINE_OK;
    });
}

int32_t EngineSetListenPort(EngineContext& c, int32_t port) {
    c.Switches().listen_port = port;
    return ENGINE_OK;
}

int32_t EngineSetP2PSwitch(EngineContext& c, int32_t on) {
    c.Switches().p2p = on != 0;
    return ENGINE_OK;
}

void EngineSetHttpWrap(EngineContext& c, uint8_t on) { c.Switches().http_wrap = on != 0; }

int32_t EngineSetDhtSwitch(EngineContext& c, int32_t on) {
    c.Switches().dht_enabled = on != 0;
    return ENGINE_OK;
}

int32_t ShowMessageBoxAsync(EngineContext& c, uintptr_t owner, const char* text, const char* caption, uint32_t style) {
    return c.MessageBoxes().Show(c.Sink(), owner, text, caption, style);
}

}  // namespace zl
