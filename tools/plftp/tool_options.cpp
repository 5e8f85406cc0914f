#include "tools/plftp/tool_options.h"

namespace {

// A quoted folder ending with a backslash ("C:\") reaches argv with the quote
// escaped ("C:\"" gives C:"): the quote belongs to the quoting.
std::wstring Value(const std::wstring& argument) {
    std::wstring value = argument;
    if (!value.empty() && value.back() == L'"') value.pop_back();
    return value;
}

}  // namespace

bool ParseToolArguments(const std::vector<std::wstring>& all, ToolOptions& options) {
    std::vector<std::wstring> arguments = all;
    options.mode = RunMode::kNormal;
    if (!arguments.empty() && (arguments[0] == L"-changes" || arguments[0] == L"-replace")) {
        options.mode = arguments[0] == L"-changes" ? RunMode::kChanges : RunMode::kReplace;
        arguments.erase(arguments.begin());
    }
    const std::size_t n = arguments.size();
    if ((n != 4 && n != 6) || arguments[0] != L"-f" || arguments[n - 2] != L"-path") return false;
    if (n == 6 && arguments[2] != L"-filelist") return false;
    options.configPath = Value(arguments[1]);
    options.fileList = n == 6 ? Value(arguments[3]) : std::wstring();
    options.folder = Value(arguments[n - 1]);
    // A mode is a whole-folder run's.
    return !options.configPath.empty() && !options.folder.empty() &&
           (n == 4 || (!options.fileList.empty() && options.mode == RunMode::kNormal));
}
