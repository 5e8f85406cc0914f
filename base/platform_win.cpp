#include "base/platform_win.h"

#include <windows.h>

bool IsRunningUnderWine() {
    static const bool underWine = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return underWine;
}
