// Holds a file open as another program does, for files the watcher must write while they are held.
// file_holder <path> <crt|none> <milliseconds> <event name>: "crt" as the C runtime's
// fopen(path, "r") holds it (no delete sharing), "none" with no sharing at all; sets the event once
// the file is open and ends after the time. Exit 0, 2 on bad arguments, 3 when it cannot open it.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    const bool crt = std::wcscmp(argv[2], L"crt") == 0;
    // Both stay open until the process ends.
    const bool open = crt ? _wfopen(argv[1], L"r") != nullptr
                          : CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr) != INVALID_HANDLE_VALUE;
    if (!open) return 3;
    if (HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4])) SetEvent(ready);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    return 0;
}
