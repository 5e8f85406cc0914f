// The actions of a convergence day carried out with the file calls programs use (CreateFileW,
// MoveFileExW, DeleteFileW, ...), the trees read back, and the wait for the transfer tools a
// closed watcher leaves running. Every path goes through the \\?\ form, so that names past
// MAX_PATH work as a program that asks for long paths sees them.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <filesystem>
#include <functional>
#include <string>

#include "base/win_handles.h"
#include "support/convergence.h"
#include "support/process_win.h"

namespace convergence {

inline std::wstring WideOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

inline std::string Utf8Of(const std::wstring& wide) {
    const std::u8string text = std::filesystem::path(wide).u8string();
    return std::string(text.begin(), text.end());
}

// `root` (a drive or UNC folder) with the relative "/"-separated `path` below it, as \\?\ path.
inline std::wstring LongPath(const std::wstring& root, const std::string& path = "") {
    std::wstring full = root + (path.empty() ? L"" : L"\\" + WideOf(path));
    std::ranges::replace(full, L'/', L'\\');
    if (full.starts_with(L"\\\\?\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Writes `bytes` into the file as `disposition` opens it, at its end with `append`.
inline bool WriteInto(const std::wstring& file, const std::string& bytes, DWORD disposition,
                      bool append = false) {
    const UniqueFileHandle handle(
        CreateFileW(file.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return handle &&
           (bytes.empty() || (WriteFile(handle.Get(), bytes.data(),
                                        static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                              written == bytes.size()));
}

// Calls `each(name, isFolder)` for the items of `folder` (a \\?\ path).
inline void ForEachItem(const std::wstring& folder,
                        const std::function<void(const std::wstring&, bool)>& each) {
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search) return;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            each(name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileW(search.Get(), &found));
}

// Removes a folder with everything in it, as a program's recursive delete does: files first,
// then each folder once it is empty.
inline bool RemoveTree(const std::wstring& folder) {
    ForEachItem(folder, [&](const std::wstring& name, bool isFolder) {
        const std::wstring item = folder + L"\\" + name;
        isFolder ? static_cast<void>(RemoveTree(item))
                 : static_cast<void>(DeleteFileW(item.c_str()));
    });
    return RemoveDirectoryW(folder.c_str()) != FALSE;
}

inline std::string ReadAll(const std::wstring& file) {
    const UniqueFileHandle handle(CreateFileW(
        file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (handle && ReadFile(handle.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

// Everything below `root` (a \\?\ path), with `prefix` before each relative path.
inline Tree ReadTree(const std::wstring& root, const std::string& prefix = "", Tree tree = {}) {
    ForEachItem(root, [&](const std::wstring& name, bool isFolder) {
        const std::string path = prefix + Utf8Of(name);
        tree[path] = Item{isFolder, isFolder ? "" : ReadAll(root + L"\\" + name)};
        if (isFolder) tree = ReadTree(root + L"\\" + name, path + "/", std::move(tree));
    });
    return tree;
}

// Carries out `a` in the watched folder `root`, with `outside` (a folder of the same volume
// outside it) for the trees copied or moved in. False when the action could not be done (in a
// shortened list an earlier action it relies on may be gone): it is then left out.
inline bool Apply(const std::wstring& root, const std::wstring& outside, const Action& a) {
    const std::wstring path = LongPath(root, a.path);
    const std::wstring to = LongPath(root, a.to);
    const std::string bytes = Content(a.seed, a.size);
    const auto exists = [](const std::wstring& item) {
        return GetFileAttributesW(item.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    // Every missing folder on the way to `file` below `top`.
    const auto makeFolders = [](const std::wstring& top, const std::string& file) {
        for (std::size_t slash = file.find('/'); slash != std::string::npos;
             slash = file.find('/', slash + 1)) {
            CreateDirectoryW(LongPath(top, file.substr(0, slash)).c_str(), nullptr);
        }
    };
    switch (a.kind) {
        case Kind::kCreate:
        case Kind::kLongName:
            return WriteInto(path, bytes, CREATE_NEW);
        case Kind::kOverwrite:
            return WriteInto(path, bytes, TRUNCATE_EXISTING);
        case Kind::kAppend:
            return WriteInto(path, bytes, OPEN_EXISTING, true);
        case Kind::kTruncate: {
            const UniqueFileHandle handle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                      nullptr));
            LARGE_INTEGER size{}, now{};
            size.QuadPart = static_cast<LONGLONG>(a.size);
            return handle && GetFileSizeEx(handle.Get(), &now) && now.QuadPart > size.QuadPart &&
                   SetFilePointerEx(handle.Get(), size, nullptr, FILE_BEGIN) &&
                   SetEndOfFile(handle.Get());
        }
        case Kind::kSaveByRename:
            return exists(path) && WriteInto(to, bytes, CREATE_ALWAYS) &&
                   MoveFileExW(to.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
        case Kind::kCaseRename: {
            if (!MoveFileExW(path.c_str(), to.c_str(), 0)) return false;
            // Wine keeps the old case and says it renamed: there a user's case-only rename
            // goes by a name of its own.
            WIN32_FIND_DATAW data;
            const UniqueFindHandle find(FindFirstFileW(to.c_str(), &data));
            const std::wstring leaf = to.substr(to.find_last_of(L'\\') + 1);
            if (!find || leaf == data.cFileName) return true;
            const std::wstring step = to + L".case";
            return MoveFileExW(to.c_str(), step.c_str(), 0) &&
                   MoveFileExW(step.c_str(), to.c_str(), 0);
        }
        case Kind::kRename:
        case Kind::kMoveFile:
        case Kind::kRenameFolder:
        case Kind::kMoveFolder:
            return MoveFileExW(path.c_str(), to.c_str(), 0) != FALSE;
        case Kind::kMakeFolder:
            return CreateDirectoryW(path.c_str(), nullptr) != FALSE;
        case Kind::kFillFolder:
            if (!CreateDirectoryW(path.c_str(), nullptr)) return false;
            for (const NewFile& file : a.files)
                WriteInto(LongPath(path, file.path), Content(file.seed, file.size), CREATE_NEW);
            return true;
        case Kind::kDeleteFile:
            return DeleteFileW(path.c_str()) != FALSE;
        case Kind::kDeleteTree:
            return exists(path) && RemoveTree(path);
        case Kind::kCopyTreeIn:
        case Kind::kMoveTreeIn: {
            // Made outside first: the watcher sees only the copy or the move.
            const std::wstring made = LongPath(outside, "tree");
            RemoveTree(made);
            CreateDirectoryW(made.c_str(), nullptr);
            for (const NewFile& file : a.files) {
                makeFolders(made, file.path);
                WriteInto(LongPath(made, file.path), Content(file.seed, file.size), CREATE_NEW);
            }
            if (a.kind == Kind::kMoveTreeIn)
                return MoveFileExW(made.c_str(), path.c_str(), 0) != FALSE;
            if (!CreateDirectoryW(path.c_str(), nullptr)) return false;
            for (const NewFile& file : a.files) {
                makeFolders(path, file.path);
                CopyFileW(LongPath(made, file.path).c_str(), LongPath(path, file.path).c_str(),
                          TRUE);
            }
            RemoveTree(made);
            return true;
        }
        case Kind::kCount:
            break;
    }
    return false;
}

// Waits until no transfer tool started from `toolFolder` runs (a closed watcher may leave the
// last one running); false when one still ran after `timeoutMs`.
inline bool WaitForTools(const std::wstring& toolFolder, DWORD timeoutMs) {
    const auto running = [&] {
        const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = snapshot && Process32FirstW(snapshot.Get(), &entry); more;
             more = Process32NextW(snapshot.Get(), &entry)) {
            if (_wcsicmp(entry.szExeFile, L"plftp.exe") != 0) continue;
            const UniqueHandle process(
                OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
            wchar_t image[MAX_PATH * 4] = {};
            DWORD length = MAX_PATH * 4;
            if (!process || !QueryFullProcessImageNameW(process.Get(), 0, image, &length) ||
                _wcsnicmp(image, toolFolder.c_str(), toolFolder.size()) == 0)
                return true;
        }
        return false;
    };
    return WaitUntil([&] { return !running(); }, timeoutMs);
}

}  // namespace convergence
