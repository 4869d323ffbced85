// The states of a task's source entries and how a source refresh treats one
// entry. Used by the peer layer of a task (TWorkWithPeers) in its source
// refresh (every 15 s, and when the server connector has been idle) and when
// the worker loop ends.
#pragma once
#include <cstdint>
#include <string>

#include "engine/net/peer_id.h"

namespace zl {

enum SourceState : int32_t {
    kSourceNew = 0,
    kSourceMetainfo = 1,        // the BitTorrent task's first line: where the torrent comes from
    kSourceNoAddress = 16,      // turned into a candidate without an address
    kSourceMetainfoTaken = 17,  // the metainfo source is a candidate
};

// 17 goes back to 1 while the task has no torrent yet; 16 goes back to 0.
int32_t NormalisedSourceState(int32_t state, bool has_torrent_blob);

// Whether a refresh skips an entry in this state.
bool RefreshSkips(int32_t state);

// One entry of a refresh, after ParseSourceUrl gave `parsed`: the identity
// gets its order key and metainfo-source details and the entry its new
// state. True when the identity is to be admitted with AddCandidate.
bool PrepareSourceCandidate(int32_t& state, TPeerId& identity, bool parsed);

// Appends `text` to the pending-sources text, CR LF between pieces. True for
// a non-empty text.
bool AppendSourcesText(std::string& pending, const std::string& text);

}  // namespace zl
