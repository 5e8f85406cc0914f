#include "support/double_process_win.h"

std::filesystem::path DoublePath(const std::string& name, const std::string& file) {
    return std::filesystem::path(ProgramFolder()) / "doubles" / name / file;
}

DoubleProcess::DoubleProcess(const std::filesystem::path& program, const std::wstring& arguments)
    : child(StartProcess(L"\"" + program.wstring() + L"\"" +
                         (arguments.empty() ? L"" : L" " + arguments))) {}

bool DoubleProcess::WaitForWindow(DWORD timeoutMs) const {
    return child && WaitUntil([this] { return !TopLevelWindowsOf(child.id).empty(); }, timeoutMs);
}

std::optional<DWORD> DoubleProcess::WaitExit(DWORD timeoutMs) const {
    DWORD code = 0;
    if (!WaitForExit(child, timeoutMs, &code)) return std::nullopt;
    return code;
}
