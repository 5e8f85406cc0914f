#include "app/watcher_state.h"

WatcherState& State() {
    static WatcherState state;
    return state;
}
