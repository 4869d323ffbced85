// The controller's states and the engine status codes it reacts to.
#pragma once

namespace zl::app {

enum AppState : int {
    kStateBack = 0,            // not enough free space at the chosen place
    kStateReady = 1,           // nothing downloaded yet
    kStatePreparing = 3,       // tasks just created
    kStateDownloading = 4,     // data flows
    kStatePause = 5,
    kStateResume = 6,          // resumed, waiting for data
    kStateFailed = 7,
    kStateFinished = 8,        // every file complete
    kStateMd5Checking = 10,
    kStateCheckRecover = 11,   // repairing
    kStateCheckFinished = 12,  // verified
    kStateInstalling = 13,
    kStateRecover = 15,        // reloaded at start
    kStateReload = 16,         // reloaded at start, needs verification
    kStateExiting = 17,        // ending after an unexpected exit
};

// The logged name of a state, or null for the states without one.
const char* StateName(int state);
// 3, 4, 6, 15, 16.
bool IsDownloadingState(int state);

}  // namespace zl::app
