#include "app/command_line.h"

#include <string_view>

namespace {

// A switch is compared on its first 99 characters, as a whole string.
constexpr std::size_t kSwitchCompareLength = 99;

void ApplySwitch(std::wstring_view argument, WatcherFields& state) {
    const std::wstring_view head = argument.substr(0, kSwitchCompareLength);
    if (head == kSwitchDependent) {
        state.dependentMode = 1;
    } else if (head == kSwitchNoWatch) {
        state.noWatchMode = 1;
    } else if (head == kSwitchRestart) {
        state.restartMode = 1;
    }
}

}  // namespace

void UnquotePath(BoundedWText<512>& path) {
    const std::wstring_view text = path.Str();
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') {
        const std::wstring inner(text.substr(1, text.size() - 2));
        path.Assign(inner);
    }
}

bool ApplyArguments(const std::vector<std::wstring>& arguments, WatcherFields& state) {
    state.watchedPathW.Clear();
    bool fits = true;
    for (const std::wstring& argument : arguments) {
        if (!argument.empty() && (argument[0] == L'-' || argument[0] == L'/')) {
            ApplySwitch(argument, state);
            continue;
        }
        // A later folder argument replaces an earlier one.
        fits = state.watchedPathW.Assign(argument);
        UnquotePath(state.watchedPathW);
    }
    return fits;
}
