// Another program holding a file open (the file_holder double), up and holding once constructed.
#pragma once

#include <filesystem>
#include <string>

#include "support/process_win.h"

class HeldFile {
public:
    // `shared`: as the C runtime's fopen(path, "r") holds it (no delete sharing); otherwise with no
    // sharing at all. For `holdMs` at most.
    HeldFile(const std::filesystem::path& file, bool shared, DWORD holdMs) {
        static int serial = 0;
        const std::wstring name = L"Local\\PellaroHeld." + std::to_wstring(GetCurrentProcessId()) +
                                  L"." + std::to_wstring(++serial);
        const UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        holder = StartProcess(L"\"" + DoublePath("file_holder", "file_holder.exe").wstring() +
                              L"\" \"" + file.wstring() + (shared ? L"\" crt " : L"\" none ") +
                              std::to_wstring(holdMs) + L" " + name);
        held = ready && holder && WaitForSingleObject(ready.Get(), 20000) == WAIT_OBJECT_0;
    }
    ~HeldFile() { Release(); }

    bool Held() const { return held; }
    // Lets the file go (the double ends).
    void Release() { KillIfRunning(holder); }
    // Waits until the double has let the file go by itself.
    bool WaitReleased(DWORD timeoutMs) const { return WaitForExit(holder, timeoutMs, nullptr); }

private:
    ChildProcess holder;
    bool held = false;
};
