// Where zlfetch seed keeps the DHT's node cache. A seed writes nothing into
// the folder it serves, so the cache goes to the user's data folder instead:
// $XDG_DATA_HOME/ZPHR/Zephyrloader (by default ~/.local/share/ZPHR/Zephyrloader).
// The cache carries the node's id, and two nodes must not share an id: a seed
// claims the folder for as long as it runs, and a second seed goes without.
#pragma once
#include <string>

namespace zlfetch {

// The folder, made (with its parents) when missing and claimed by a lock held
// through *lock_fd (released when that descriptor closes, at the latest when
// the process ends). "" with *why when the folder cannot be found or made, or
// another process holds it.
std::string SeedDhtCacheFolder(std::string* why, int* lock_fd);

}  // namespace zlfetch
