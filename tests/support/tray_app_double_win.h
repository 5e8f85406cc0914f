#pragma once
// The tray application double (bin/doubles/tray_app/plkSysTrayApp.exe) run by
// a test: it is given a script of pipe steps (see its source), started, and
// waited for until its pipe is ready. Killed when the owner goes if it still
// runs. Windows build only.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process_win.h"

class TrayAppDouble {
public:
    // Writes `script` into `folder` and starts the double on it; Ready() tells
    // whether its "ready" step was reached within a few seconds.
    TrayAppDouble(const std::filesystem::path& folder, const std::string& script);
    ~TrayAppDouble();
    TrayAppDouble(const TrayAppDouble&) = delete;
    TrayAppDouble& operator=(const TrayAppDouble&) = delete;

    bool Ready() const { return ready; }
    // Waits up to timeoutMs for the step "ready <name>".
    bool WaitReady(const std::string& name, uint32_t timeoutMs = 5000) const;
    // The requests served so far, each as its exact bytes.
    std::vector<std::string> Requests() const;
    // The double's exit code once it ended within timeoutMs, else -1.
    int64_t WaitExit(uint32_t timeoutMs) const;

    static std::filesystem::path Program();

private:
    std::filesystem::path scriptPath;
    std::filesystem::path logPath;
    ChildProcess child;
    bool ready = false;
};
