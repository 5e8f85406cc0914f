// The tray application double run on a script of pipe steps (see its source), ended with its owner.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process_win.h"
#include "support/temp_dir.h"

class TrayAppDouble {
public:
    // Writes `script` into `folder` and starts the double.
    TrayAppDouble(const std::filesystem::path& folder, const std::string& script)
        : scriptPath(folder / "tray-script.txt"), logPath(folder / "tray-requests.log") {
        WriteFileBytes(scriptPath, script);
        child =
            StartProcess(L"\"" + DoublePath("tray_app", "plkSysTrayApp.exe").wstring() + L"\" \"" +
                         scriptPath.wstring() + L"\" \"" + logPath.wstring() + L"\"");
        const std::filesystem::path readyFile = std::filesystem::path(scriptPath) += ".ready";
        ready = child && WaitUntil([&] { return std::filesystem::exists(readyFile); }, 5000);
    }
    ~TrayAppDouble() { KillIfRunning(child); }
    // Whether the double came to its first "ready" step.
    bool Ready() const { return ready; }
    // The requests served so far, each as its exact bytes.
    std::vector<std::string> Requests() const {
        const std::string log = ReadFileBytes(logPath);
        std::vector<std::string> requests;
        for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos;) {
            requests.push_back(log.substr(end + 1, std::stoul(log.substr(at, end - at))));
            at = end + 1 + requests.back().size();
        }
        return requests;
    }
    // The double's exit code once it ended within timeoutMs, else -1.
    int64_t WaitExit(uint32_t timeoutMs) const {
        DWORD code = 0;
        return WaitForExit(child, timeoutMs, &code) ? static_cast<int64_t>(code) : -1;
    }

private:
    std::filesystem::path scriptPath;
    std::filesystem::path logPath;
    ChildProcess child;
    bool ready = false;
};
