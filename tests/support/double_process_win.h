// A double's process for one test, ended with its owner so that a failed test leaves none behind.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "support/process_win.h"

// The built double <file> of tests/doubles/<name> (<build>/bin/doubles/<name>).
inline std::filesystem::path DoublePath(const std::string& name, const std::string& file) {
    return std::filesystem::path(ProgramFolder()) / "doubles" / name / file;
}

class DoubleProcess {
public:
    // Starts `program` with `arguments` after its quoted path.
    DoubleProcess(const std::filesystem::path& program, const std::wstring& arguments)
        : child(StartProcess(L"\"" + program.wstring() + L"\" " + arguments)) {}
    ~DoubleProcess() { Kill(); }
    DoubleProcess(const DoubleProcess&) = delete;
    DoubleProcess& operator=(const DoubleProcess&) = delete;

    bool Started() const { return static_cast<bool>(child); }
    // The exit code, once it ended in time.
    std::optional<DWORD> WaitExit(DWORD timeoutMs) const {
        DWORD code = 0;
        return WaitForExit(child, timeoutMs, &code) ? std::optional<DWORD>(code) : std::nullopt;
    }
    void Kill() const { KillIfRunning(child); }

private:
    ChildProcess child;
};
