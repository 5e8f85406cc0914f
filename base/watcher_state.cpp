#include "base/watcher_state.h"

WatcherState& State() {
    // Never destroyed: a message or upload thread still running while the
    // process exits must not find the state (and its lock) gone.
    static WatcherState* const state = new WatcherState;
    return *state;
}
