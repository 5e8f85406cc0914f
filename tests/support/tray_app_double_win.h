#pragma once
// The tray application double (doubles/tray_app/plkSysTrayApp.exe) run on a
// script of pipe steps (see its source); killed with its owner. Windows only.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process_win.h"

class TrayAppDouble {
public:
    // Writes `script` into `folder`, starts the double and waits for "ready".
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

private:
    std::filesystem::path scriptPath;
    std::filesystem::path logPath;
    ChildProcess child;
    bool ready = false;
};
