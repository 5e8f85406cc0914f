#include "tools/plftp/run_files_win.h"

#include <cstdio>

#include "base/text_conversion.h"

namespace {

constexpr uint64_t kLogLimitBytes = 1024 * 1024;

std::string Now() {
    SYSTEMTIME time;
    GetLocalTime(&time);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond);
    return text;
}

// For appending whole lines; readers (a tail of the log) may have the file open.
UniqueFileHandle OpenForAppend(const std::wstring& path) {
    return UniqueFileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The bytes of a record: a server's reply can span lines; a record never does.
std::string Record(const std::string& line) {
    std::string text = line;
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return text + "\r\n";
}

uint64_t WriteRecord(const UniqueFileHandle& file, const std::string& line) {
    const std::string text = Record(line);
    DWORD written = 0;
    if (!file ||
        !WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        return 0;
    }
    return written;
}

}  // namespace

RunFileNames MakeRunFileNames(const std::wstring& dataDir, const std::string& key) {
    const std::wstring wideKey = ToWideString(key);
    RunFileNames names;
    names.log = dataDir + L"\\" + wideKey + L"_plftp.log";
    names.errors = dataDir + L"\\" + wideKey + L"_plerror.txt";
    names.swap = dataDir + L"\\" + wideKey + L"_.plftp.swap";
    // Object names hold no backslash and at most MAX_PATH characters; a long
    // key keeps its start and a hash of the whole.
    std::wstring lockKey = wideKey;
    if (lockKey.size() > 200) {
        uint64_t hash = 14695981039346656037ull;
        for (wchar_t c : wideKey) hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
        lockKey = lockKey.substr(0, 180) + L"#" + std::to_wstring(hash);
    }
    names.mutex = L"Local\\PellaroTransfer." + lockKey;
    return names;
}

// The log and the error file are UTF-8: every name as it is, whatever the
// desktop's ANSI code page.
void CFileJournal::Action(std::string_view action, const std::wstring& localPath,
                          const std::wstring& remotePath, std::string_view result) {
    const std::string line = Now() + "\t" + std::string(action) + "\t" + EncodeUtf8(localPath) +
                             "\t" + EncodeUtf8(remotePath) + "\t" +
                             EncodeUtf8(ToWideString(result));
    if (!log) {
        log = OpenForAppend(names.log);
        LARGE_INTEGER size{};
        logSize = log && GetFileSizeEx(log.Get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    }
    if (logSize + line.size() + 2 > kLogLimitBytes) {
        log.Reset();
        MoveFileExW(names.log.c_str(), (names.log + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
        log = OpenForAppend(names.log);
        logSize = 0;
    }
    logSize += WriteRecord(log, line);
}

void CFileJournal::Failure(std::string_view item, std::string_view reason) {
    // The command line and the reason come in the ANSI code page.
    (void)WriteRecord(OpenForAppend(names.errors), Now() + "\t" + EncodeUtf8(ToWideString(item)) +
                                                       "\t" + EncodeUtf8(ToWideString(reason)));
}

CFolderLock::CFolderLock(const std::wstring& name)
    : mutex(CreateMutexW(nullptr, FALSE, name.c_str())) {
    if (!mutex) return;
    // An abandoned mutex (a run that was killed) is ours as well.
    const DWORD wait = WaitForSingleObject(mutex.Get(), 0);
    held = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

CFolderLock::~CFolderLock() {
    if (held) ReleaseMutex(mutex.Get());
}

CSwapFile::~CSwapFile() {
    // A reader that does not share deletion holds it for a moment: a swap file
    // left behind would stand for a run that has ended.
    for (int attempt = 0; attempt < 20 && !DeleteFileW(path.c_str()); ++attempt) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) break;
        Sleep(50);
    }
}

CSwapFile::CSwapFile(std::wstring path, bool download) : path(std::move(path)) {
    UniqueFileHandle file(CreateFileW(this->path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string line =
        "plftp " + std::to_string(GetCurrentProcessId()) + (download ? " get" : " put") + "\r\n";
    DWORD written = 0;
    WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
