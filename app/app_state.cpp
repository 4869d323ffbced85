#include "app/app_state.h"

namespace zl::app {

const char* StateName(int state) {
    switch (state) {
        case kStateBack: return "back";
        case kStateReady: return "ready";
        case kStatePreparing: return "preparing";
        case kStateDownloading: return "downloading";
        case kStatePause: return "pause";
        case kStateResume: return "resume";
        case kStateFailed: return "failed";
        case kStateFinished: return "finished";
        case kStateMd5Checking: return "md5checking";
        case kStateCheckRecover: return "checkrecover";
        case kStateCheckFinished: return "checkfinished";
        case kStateRecover: return "recover";
        case kStateReload: return "reload";
        default: return nullptr;
    }
}

bool IsDownloadingState(int s) {
    return s == kStatePreparing || s == kStateDownloading || s == kStateResume || s == kStateRecover ||
           s == kStateReload;
}

}  // namespace zl::app
