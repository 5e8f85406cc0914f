#pragma once
// A test double started for one test: ended if it still runs when its owner
// goes, so a failed test leaves no process behind. Built on the process helpers
// of process_win.h. Windows build only.

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
    ~DoubleProcess();
    DoubleProcess(const DoubleProcess&) = delete;
    DoubleProcess& operator=(const DoubleProcess&) = delete;

    bool Started() const { return static_cast<bool>(child); }
    DWORD Id() const { return child.id; }
    // Whether it shows a top-level window within timeoutMs.
    bool WaitForWindow(DWORD timeoutMs) const;
    // The exit code once it has ended within timeoutMs.
    std::optional<DWORD> WaitExit(DWORD timeoutMs) const;
    void Kill() const;
    // Closes the handle to the process, so that its id can stop naming one.
    void Forget();

private:
    ChildProcess child;
};
