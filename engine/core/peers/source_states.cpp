#include "engine/core/peers/source_states.h"

namespace zl {

int32_t NormalisedSourceState(int32_t state, bool has_torrent_blob) {
    if (state == kSourceMetainfoTaken && !has_torrent_blob) return kSourceMetainfo;
    if (state == kSourceNoAddress) return kSourceNew;
    return state;
}

bool RefreshSkips(int32_t state) { return state == kSourceNoAddress || state == kSourceMetainfoTaken; }

bool PrepareSourceCandidate(int32_t& state, TPeerId& identity, bool parsed) {
    if (RefreshSkips(state) || !parsed) return false;
    if (state == kSourceMetainfo) {
        identity.metainfo_source = true;
        identity.max_connections = 1;
        state = kSourceMetainfoTaken;
    } else if (!IsValidAddress(identity.address)) {
        state = kSourceNoAddress;
    }
    identity.order_key = kOrderKeyServer;
    return true;
}

bool AppendSourcesText(std::string& pending, const std::string& text) {
    if (text.empty()) return false;
    if (!pending.empty()) pending += "\r\n";
    pending += text;
    return true;
}

}  // namespace zl
