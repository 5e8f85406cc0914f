// The file operations on Win32 files. Every file the watcher keeps is shared
// for reading, writing and deleting while it is open here: a reader never
// stops a writer's rename over it, and the firing can rename the event list
// while the buffer holds it open for appending.
#include <windows.h>

#include <algorithm>

#include "base/file_ops.h"
#include "base/text_conversion.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE AsHandle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

FileResult FromError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return FileResult::kMissing;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_ACCESS_DENIED:
            return FileResult::kBusy;
        default:
            return FileResult::kFailed;
    }
}

}  // namespace

OpenedFile OpenFileAt(const std::string& path, FileAccess access, FileResult* result) {
    OpenedFile file;
    FileResult outcome = FileResult::kOk;
    if (FileFaultInjected(FileOp::kOpen, path)) {
        outcome = FileResult::kBusy;
    } else {
        DWORD rights = GENERIC_WRITE;
        DWORD share = kShareAll;
        DWORD disposition = OPEN_EXISTING;
        switch (access) {
            case FileAccess::kRead:
                rights = GENERIC_READ;
                break;
            case FileAccess::kAppend:
                rights = FILE_APPEND_DATA;
                disposition = OPEN_ALWAYS;
                break;
            case FileAccess::kCreate:
                share = 0;
                disposition = CREATE_ALWAYS;
                break;
            case FileAccess::kRewrite:
                break;
        }
        const HANDLE handle = CreateFileW(ToWideString(path).c_str(), rights, share, nullptr,
                                          disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            outcome = FromError(GetLastError());
        } else {
            file.native = reinterpret_cast<intptr_t>(handle);
            file.appending = access == FileAccess::kAppend;
            file.path = path;
        }
    }
    if (result) *result = outcome;
    return file;
}

bool OpenedFile::Write(std::string_view bytes) {
    if (native == -1 || FileFaultInjected(appending ? FileOp::kAppend : FileOp::kWrite, path)) {
        return false;
    }
    while (!bytes.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
        if (!WriteFile(AsHandle(native), bytes.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

bool OpenedFile::CutHere() {
    return native != -1 && !FileFaultInjected(FileOp::kWrite, path) &&
           SetEndOfFile(AsHandle(native)) != 0;
}

bool OpenedFile::Flush() {
    return native != -1 && !FileFaultInjected(FileOp::kFlush, path) &&
           FlushFileBuffers(AsHandle(native)) != 0;
}

bool OpenedFile::ReadAll(std::string& bytes) {
    char chunk[16384];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(AsHandle(native), chunk, sizeof chunk, &got, nullptr)) return false;
        if (got == 0) return true;
        bytes.append(chunk, got);
    }
}

int64_t OpenedFile::Size() const {
    LARGE_INTEGER size;
    if (native == -1 || !GetFileSizeEx(AsHandle(native), &size)) return -1;
    return size.QuadPart;
}

void OpenedFile::Close() noexcept {
    if (native != -1) CloseHandle(AsHandle(native));
    native = -1;
}

FileResult MoveFileTo(const std::string& from, const std::string& to, MoveKind kind) {
    // A rename acts on the file that moves, a replace on the one it replaces.
    if (kind == MoveKind::kRename ? FileFaultInjected(FileOp::kRename, from)
                                  : FileFaultInjected(FileOp::kReplace, to)) {
        return FileResult::kBusy;
    }
    const DWORD flags = kind == MoveKind::kReplace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (MoveFileExW(ToWideString(from).c_str(), ToWideString(to).c_str(), flags)) {
        return FileResult::kOk;
    }
    return FromError(GetLastError());
}

FileResult RemoveFile(const std::string& path) {
    if (FileFaultInjected(FileOp::kDelete, path)) return FileResult::kBusy;
    if (DeleteFileW(ToWideString(path).c_str())) return FileResult::kOk;
    return FromError(GetLastError());
}

int64_t FileSizeAt(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(ToWideString(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return -1;
    }
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                data.nFileSizeLow);
}

bool CreateFolderWithParents(const std::string& path) {
    const std::wstring full = ToWideString(path);
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Create each level in turn; levels that exist (the drive, a share) fail harmlessly.
    for (std::size_t at = full.find(L'\\'); at != std::wstring::npos;
         at = full.find(L'\\', at + 1)) {
        if (at == 0 || full[at - 1] == L':' || full[at - 1] == L'\\') continue;
        CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(full.c_str(), nullptr);
    attributes = GetFileAttributesW(full.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
