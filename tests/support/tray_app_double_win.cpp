#include "support/tray_app_double_win.h"

#include "support/temp_dir.h"

TrayAppDouble::TrayAppDouble(const std::filesystem::path& folder, const std::string& script)
    : scriptPath(folder / "tray-script.txt"), logPath(folder / "tray-requests.log") {
    WriteFileBytes(scriptPath, script);
    const auto program =
        std::filesystem::path(ProgramFolder()) / "doubles" / "tray_app" / "plkSysTrayApp.exe";
    child = StartProcess(L"\"" + program.wstring() + L"\" \"" + scriptPath.wstring() + L"\" \"" +
                         logPath.wstring() + L"\"");
    ready = WaitReady("");
}

bool TrayAppDouble::WaitReady(const std::string& name, uint32_t timeoutMs) const {
    std::filesystem::path readyPath = scriptPath;
    readyPath += ".ready" + name;
    return child && WaitUntil([&] { return std::filesystem::exists(readyPath); }, timeoutMs);
}

TrayAppDouble::~TrayAppDouble() { KillIfRunning(child); }

std::vector<std::string> TrayAppDouble::Requests() const {
    const std::string log = ReadFileBytes(logPath);
    std::vector<std::string> requests;
    std::size_t pos = 0;
    while (pos < log.size()) {
        const std::size_t lineEnd = log.find('\n', pos);
        if (lineEnd == std::string::npos) break;
        const std::size_t length = std::stoul(log.substr(pos, lineEnd - pos));
        requests.push_back(log.substr(lineEnd + 1, length));
        pos = lineEnd + 1 + length;
    }
    return requests;
}

int64_t TrayAppDouble::WaitExit(uint32_t timeoutMs) const {
    DWORD code = 0;
    return child && WaitForExit(child, timeoutMs, &code) ? static_cast<int64_t>(code) : -1;
}
