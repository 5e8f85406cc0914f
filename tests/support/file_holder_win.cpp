#include "support/file_holder_win.h"

#include <string>

HeldFile::HeldFile(const std::filesystem::path& file, bool shared, DWORD holdMs) {
    static int serial = 0;
    const std::wstring name = L"Local\\PellaroHeld." + std::to_wstring(GetCurrentProcessId()) +
                              L"." + std::to_wstring(++serial);
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (!ready) return;
    holder = std::make_unique<DoubleProcess>(
        DoublePath("file_holder", "file_holder.exe"),
        L"\"" + file.wstring() + L"\" " + (shared ? L"crt " : L"none ") + std::to_wstring(holdMs) +
            L" " + name);
    held = holder->Started() && WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
    CloseHandle(ready);
}
