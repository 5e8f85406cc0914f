#include <windows.h>

#include "tools/plftp/folder_target_win.h"

#include "base/text_conversion.h"
#include "base/win_handles.h"
#include "tools/plftp/path_text.h"

namespace {

int64_t Ticks(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
}

FILETIME FromTicks(int64_t ticks) {
    const auto value = static_cast<uint64_t>(ticks);
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

// A name Windows rejects (ERROR_INVALID_NAME) is not "missing": it is a
// failure to read or write that name.
bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_BAD_NETPATH;
}

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

bool IsFolder(const std::wstring& native) {
    const DWORD attributes = GetFileAttributesW(native.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::string SystemReason(const char* what, const std::wstring& path, unsigned long error) {
    return std::string("cannot ") + what + " " + ToAnsiString(path) + " (error " +
           std::to_string(error) + ")";
}

std::wstring CFolderTarget::NativePath(const std::wstring& path) const {
    std::wstring native = root;
    if (root.empty() || path != L"/") native += path;
    for (wchar_t& c : native) {
        if (c == L'/') c = L'\\';
    }
    // "C:" alone names the current folder of drive C, not its root.
    if (native.size() == 2 && native[1] == L':') native.push_back(L'\\');
    return native;
}

std::wstring CFolderTarget::LocalFolder(const std::wstring& path) const {
    return CanonicalPath(NativePath(path));
}

Outcome CFolderTarget::List(const std::wstring& folder, std::vector<TreeEntry>& entries) {
    entries.clear();
    const std::wstring native = NativePath(folder);
    const std::wstring pattern = native + (native.ends_with(L'\\') ? L"*" : L"\\*");
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0));
    if (!find) {
        const DWORD error = GetLastError();
        // A drive root without entries; any other failure is no listing at all.
        if (error == ERROR_FILE_NOT_FOUND && IsFolder(native)) return Outcome::Ok();
        if (IsMissing(error)) {
            return Outcome::Fail(kToolInvalidRemoteDir,
                                 SystemReason("find the folder", native, error));
        }
        return Outcome::Fail(kToolReadError, SystemReason("list", native, error));
    }
    do {
        const std::wstring_view name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        TreeEntry entry;
        entry.name = data.cFileName;
        entry.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.link = IsLink(data.dwFileAttributes);
        entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        entry.modified = Ticks(data.ftLastWriteTime);
        entry.exactTime = true;
        entries.push_back(std::move(entry));
    } while (FindNextFileW(find.Get(), &data));
    if (const DWORD error = GetLastError(); error != ERROR_NO_MORE_FILES) {
        return Outcome::Fail(kToolReadError, SystemReason("list", native, error));
    }
    return Outcome::Ok();
}

Outcome CFolderTarget::Stat(const std::wstring& path, TreeEntry& entry) {
    const std::wstring native = NativePath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        return Outcome::Fail(IsMissing(error) ? kToolRemoteNotFound : kToolReadError,
                             SystemReason("find", native, error));
    }
    entry.name = LeafName(path);
    entry.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.link = IsLink(data.dwFileAttributes);
    entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.modified = Ticks(data.ftLastWriteTime);
    entry.exactTime = true;
    return Outcome::Ok();
}

Outcome CFolderTarget::ExactTime(const std::wstring& path, int64_t& modified) {
    TreeEntry entry;
    Outcome outcome = Stat(path, entry);
    if (outcome) modified = entry.modified;
    return outcome;
}

int64_t CFolderTarget::Now() const {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

std::wstring CFolderTarget::StoredName(const std::wstring& path) const {
    WIN32_FIND_DATAW data;
    const UniqueFindHandle find(FindFirstFileW(NativePath(path).c_str(), &data));
    return find ? std::wstring(data.cFileName) : std::wstring();
}

int64_t CFolderTarget::TimeStep() const {
    if (timeStep != 0) return timeStep;
    // FAT keeps times to two seconds, exFAT to ten milliseconds; the others
    // keep what they are given. An SMB target (no root) is taken as one of those.
    timeStep = 1;
    if (root.empty()) return timeStep;
    wchar_t volume[MAX_PATH + 1] = {};
    wchar_t fileSystem[MAX_PATH + 1] = {};
    const std::wstring native = NativePath(L"/");
    if (GetVolumePathNameW(native.c_str(), volume, MAX_PATH) &&
        GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                              MAX_PATH)) {
        const std::wstring name = fileSystem;
        if (name.starts_with(L"FAT")) timeStep = 2 * 10'000'000LL;
        if (name == L"exFAT") timeStep = 100'000;
    }
    return timeStep;
}

Outcome CFolderTarget::MakeFolder(const std::wstring& folder) {
    const std::wstring native = NativePath(folder);
    if (CreateDirectoryW(native.c_str(), nullptr)) return Outcome::Ok();
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && IsFolder(native)) return Outcome::Ok();
    return Outcome::Fail(kToolWriteError, SystemReason("make the folder", native, error));
}

Outcome CFolderTarget::Store(const std::wstring& localFile, const std::wstring& partPath,
                             TreeEntry& written) {
    // CopyFileW keeps the time. Which side a failure belongs to is asked only
    // after one: a file the user holds locked, or one gone, reads as a failure
    // to read it, not to write the target.
    const std::wstring part = NativePath(partPath);
    if (CopyFileW(localFile.c_str(), part.c_str(), FALSE)) return Stat(partPath, written);
    const DWORD error = GetLastError();
    DeleteFileW(part.c_str());
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        return Outcome::Fail(kToolReadError, SystemReason("read", localFile, error));
    }
    const UniqueFileHandle source(CreateFileW(
        localFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, 0, nullptr));
    if (!source) {
        const DWORD readError = GetLastError();
        return Outcome::Fail(IsMissing(readError) ? kToolFileNotFound : kToolReadError,
                             SystemReason("read", localFile, readError));
    }
    return Outcome::Fail(kToolWriteError, SystemReason("write", part, error));
}

Outcome CFolderTarget::Fetch(const std::wstring& path, const std::wstring& localFile) {
    const std::wstring native = NativePath(path);
    if (CopyFileW(native.c_str(), localFile.c_str(), FALSE)) return Outcome::Ok();
    const DWORD error = GetLastError();
    DeleteFileW(localFile.c_str());
    if (IsMissing(error))
        return Outcome::Fail(kToolRemoteNotFound, SystemReason("read", native, error));
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        return Outcome::Fail(kToolReadError, SystemReason("read", native, error));
    }
    return Outcome::Fail(kToolWriteError, SystemReason("write", localFile, error));
}

Outcome CFolderTarget::PlaceFile(const std::wstring& partPath, const std::wstring& path,
                                 int64_t modified) {
    // A new name takes the file in one step. MOVEFILE_REPLACE_EXISTING
    // replaces in one step too: the old file stays whole when it fails.
    const std::wstring part = NativePath(partPath);
    const std::wstring native = NativePath(path);
    if (!MoveFileExW(part.c_str(), native.c_str(), 0)) {
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) ||
            !MoveFileExW(part.c_str(), native.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return Outcome::Fail(kToolRenameError,
                                 SystemReason("rename into", native, GetLastError()));
        }
        // A file replaced under a name that differs in case keeps the old case
        // on some file systems (Wine's): it takes the name it was sent under.
        if (const std::wstring stored = StoredName(path);
            !stored.empty() && stored != LeafName(path)) {
            (void)Rename(JoinPath(ParentPath(path), stored), path);
        }
    }
    if (modified != 0) {
        UniqueFileHandle file(CreateFileW(native.c_str(), FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        const FILETIME time = FromTicks(modified);
        if (file) SetFileTime(file.Get(), nullptr, nullptr, &time);
    }
    return Outcome::Ok();
}

Outcome CFolderTarget::RemoveFile(const std::wstring& path) {
    const std::wstring native = NativePath(path);
    if (DeleteFileW(native.c_str())) return Outcome::Ok();
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        if (DeleteFileW(native.c_str())) return Outcome::Ok();
        error = GetLastError();
    }
    return Outcome::Fail(kToolRemoveError, SystemReason("delete", native, error));
}

Outcome CFolderTarget::RemoveFolder(const std::wstring& folder) {
    const std::wstring native = NativePath(folder);
    if (RemoveDirectoryW(native.c_str())) return Outcome::Ok();
    return Outcome::Fail(kToolRemoveError,
                         SystemReason("remove the folder", native, GetLastError()));
}

Outcome CFolderTarget::Rename(const std::wstring& from, const std::wstring& to) {
    const std::wstring nativeFrom = NativePath(from);
    const std::wstring nativeTo = NativePath(to);
    // A rename that changes only the case of a name goes by a name of its own:
    // some file systems take the new name for the existing item and keep the
    // old case, reporting success (Wine's does).
    const bool caseOnly =
        nativeFrom != nativeTo &&
        CompareStringOrdinal(nativeFrom.c_str(), -1, nativeTo.c_str(), -1, TRUE) == CSTR_EQUAL;
    if (caseOnly) {
        const std::wstring step = NativePath(JoinPath(ParentPath(to), PartName(LeafName(to))));
        if (MoveFileExW(nativeFrom.c_str(), step.c_str(), 0)) {
            if (MoveFileExW(step.c_str(), nativeTo.c_str(), 0)) return Outcome::Ok();
            const DWORD error = GetLastError();
            MoveFileExW(step.c_str(), nativeFrom.c_str(), 0);
            return Outcome::Fail(kToolRenameError, SystemReason("rename", step, error));
        }
    }
    if (MoveFileExW(nativeFrom.c_str(), nativeTo.c_str(), 0)) return Outcome::Ok();
    return Outcome::Fail(kToolRenameError, SystemReason("rename", nativeFrom, GetLastError()));
}
