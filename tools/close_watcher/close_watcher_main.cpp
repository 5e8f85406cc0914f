// pellaro-close: asks running watchers to end in order by posting WM_CLOSE to
// their dialogs, as the client does when it stops watching a folder.
//   pellaro-close            every watcher of this session
//   pellaro-close <folder>   the watcher whose title names this folder's display name
// Exit status: 0 when at least one dialog was asked, 1 when none was found.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring ImageName(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return {};
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = static_cast<DWORD>(std::size(path));
    const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    if (!ok) return {};
    std::wstring full(path, size);
    const std::size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

struct Search {
    std::wstring title;  // empty: any watcher
    std::vector<HWND> dialogs;
};

BOOL CALLBACK Collect(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (std::wstring(className) != L"#32770") return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (_wcsicmp(ImageName(processId).c_str(), L"PellaroCNW.exe") != 0) return TRUE;
    wchar_t title[256] = {};
    GetWindowTextW(window, title, 256);
    if (!search->title.empty() && search->title != title) return TRUE;
    search->dialogs.push_back(window);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Search search;
    if (argc > 1) {
        std::wstring folder = argv[1];
        while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
            folder.pop_back();
        const std::size_t slash = folder.find_last_of(L"\\/");
        search.title =
            L"Watching - " + (slash == std::wstring::npos ? folder : folder.substr(slash + 1));
    }
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    for (HWND dialog : search.dialogs) PostMessageW(dialog, WM_CLOSE, 0, 0);
    std::fwprintf(stdout, L"pellaro-close: asked %zu watcher(s) to close\n", search.dialogs.size());
    return search.dialogs.empty() ? 1 : 0;
}
