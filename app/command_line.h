#pragma once
// The watcher's command line: the watched folder (the last argument that is not
// a switch, enclosing quotes removed) and the switches "-dependent", "-nowatch"
// and "-restart" (case-sensitive; any other switch, "/dependent" included, is
// ignored).

#include <string>
#include <vector>

#include "base/watcher_state.h"

constexpr wchar_t kSwitchDependent[] = L"-dependent";
constexpr wchar_t kSwitchNoWatch[] = L"-nowatch";
constexpr wchar_t kSwitchRestart[] = L"-restart";

// Applies the arguments that follow the program name: clears watchedPathW, then
// sets it and the three mode flags. Returns false when a folder argument was
// longer than watchedPathW holds (511 characters); the field then holds its
// first 511 characters.
bool ApplyArguments(const std::vector<std::wstring>& arguments, WatcherFields& state);

// Removes one pair of enclosing double quotes, as PathUnquoteSpacesW does.
void UnquotePath(BoundedWText<512>& path);
