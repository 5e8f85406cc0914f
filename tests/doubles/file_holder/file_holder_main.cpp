// file_holder <path> <crt|none> <milliseconds> <event name>
// Opens <path> as another program does and keeps it open: "crt" as the C
// runtime's fopen(path, "r") does (read and write sharing, no delete sharing),
// "none" with no sharing at all. Sets the named event once the file is open,
// holds it for the given time, closes it and exits with 0; 2 on bad
// arguments, 3 when the file cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    const std::wstring mode = argv[2];
    const DWORD holdMs = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    std::FILE* crt = nullptr;
    HANDLE exclusive = INVALID_HANDLE_VALUE;
    if (mode == L"crt") {
        crt = _wfopen(argv[1], L"r");
        if (!crt) return 3;
    } else if (mode == L"none") {
        exclusive = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (exclusive == INVALID_HANDLE_VALUE) return 3;
    } else {
        return 2;
    }
    if (HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4])) {
        SetEvent(ready);
        CloseHandle(ready);
    }
    Sleep(holdMs);
    if (crt) std::fclose(crt);
    if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
    return 0;
}
