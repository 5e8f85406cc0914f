#pragma once
// Programs that Windows tests start: test doubles found beside the test
// executable, started with a command line, waited for, and terminated when the
// owner goes if they are still running. Windows build only.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

class DoubleProcess {
public:
    DoubleProcess() = default;
    // Starts `program` with `arguments` (appended to the quoted program path).
    DoubleProcess(const std::filesystem::path& program, const std::wstring& arguments);
    DoubleProcess(DoubleProcess&& other) noexcept;
    DoubleProcess& operator=(DoubleProcess&& other) noexcept;
    DoubleProcess(const DoubleProcess&) = delete;
    DoubleProcess& operator=(const DoubleProcess&) = delete;
    ~DoubleProcess();

    bool Started() const { return process != nullptr; }
    DWORD Id() const { return id; }
    HANDLE Handle() const { return process; }
    // The exit code once the program has ended, waiting up to timeoutMs.
    std::optional<DWORD> WaitExit(uint32_t timeoutMs) const;
    // Terminates a running program and waits for its end.
    void Kill();

private:
    HANDLE process = nullptr;
    DWORD id = 0;
};

// The folder of the running test executable (<build>/bin).
std::filesystem::path TestBinaryDir();

// Whether process `processId` owns a top-level window, waiting up to timeoutMs
// for one to appear.
bool WaitForTopLevelWindow(DWORD processId, uint32_t timeoutMs);
