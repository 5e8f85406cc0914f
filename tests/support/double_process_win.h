#pragma once
// A test double started for one test and ended, if still running, with its
// owner, so a failed test leaves no process behind. Windows build only.

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/process_win.h"

// The built double <file> of tests/doubles/<name> (<build>/bin/doubles/<name>).
std::filesystem::path DoublePath(const std::string& name, const std::string& file);

class DoubleProcess {
public:
    // Starts `program` with `arguments` after its quoted path.
    DoubleProcess(const std::filesystem::path& program, const std::wstring& arguments);
    ~DoubleProcess() { Kill(); }
    DoubleProcess(const DoubleProcess&) = delete;
    DoubleProcess& operator=(const DoubleProcess&) = delete;

    bool Started() const { return static_cast<bool>(child); }
    DWORD Id() const { return child.id; }
    bool WaitForWindow(DWORD timeoutMs) const;  // a top-level window shown in time
    std::optional<DWORD> WaitExit(DWORD timeoutMs) const;  // the exit code, once ended
    void Kill() const { KillIfRunning(child); }
    // Closes the handle to the process, so that its id can stop naming one.
    void Forget() {
        Kill();
        child = ChildProcess();
    }

private:
    ChildProcess child;
};
