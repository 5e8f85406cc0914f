#include "tools/plftp/ftp_target_win.h"

#include <windows.h>

#include <cstdio>

#include "base/text_conversion.h"
#include "base/win_handles.h"
#include "tools/plftp/folder_target_win.h"
#include "tools/plftp/ftp_listing.h"
#include "tools/plftp/path_text.h"

namespace {

std::string FtpTime(int64_t ticks) {
    const auto value = static_cast<uint64_t>(ticks);
    const FILETIME file{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
    SYSTEMTIME time;
    if (!FileTimeToSystemTime(&file, &time)) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", time.wYear, time.wMonth, time.wDay,
                  time.wHour, time.wMinute, time.wSecond);
    return text;
}

}  // namespace

CFtpTarget::CFtpTarget(const ToolConfig& config) : config(config) {}

Outcome CFtpTarget::Failure(int32_t status, const char* what, const std::wstring& path,
                            const FtpReply& reply) const {
    return connection.Fail(status, std::string(what) + " " + ToAnsiString(Describe(path)), reply);
}

Outcome CFtpTarget::Expect(const std::string& command, int expected, int32_t status,
                           const char* what, const std::wstring& path) {
    FtpReply reply;
    if (connection.Ask(command, reply) && reply.code / 100 == expected) return Outcome::Ok();
    return Failure(status, what, path, reply);
}

Outcome CFtpTarget::RenameOnServer(const std::string& from, const std::string& to, const char* what,
                                   const std::wstring& path) {
    FtpReply fromReply, toReply;
    if (!connection.AskPair("RNFR " + from, "RNTO " + to, fromReply, toReply) ||
        fromReply.code / 100 != 3 || toReply.code / 100 != 2) {
        return Failure(kToolRenameError, what, path,
                       fromReply.code / 100 == 3 ? toReply : fromReply);
    }
    return Outcome::Ok();
}

std::string CFtpTarget::CannotHold(const std::wstring& name) const {
    if (!config.utf8Names && !FitsAnsiCodePage(name)) {
        return "a name the ANSI code page cannot hold (encoding=utf8 sends it)";
    }
    return UnsafeNameReason(name);
}

std::string CFtpTarget::Encode(const std::wstring& path) const {
    std::wstring absolute = path;
    if (!absolute.starts_with(L'/')) {
        absolute = JoinPath(ToWideString(connection.Home()), path);
    }
    if (!config.utf8Names) return ToAnsiString(absolute);
    const int length = static_cast<int>(absolute.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, absolute.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, absolute.data(), length, bytes.data(), needed, nullptr,
                        nullptr);
    return bytes;
}

bool CFtpTarget::Decode(const std::string& bytes, std::wstring& text) const {
    if (!config.utf8Names) {
        text = ToWideString(bytes);
        return true;
    }
    // Bytes that are no UTF-8 would become stand-ins, and two names one.
    const int length = static_cast<int>(bytes.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    text.assign(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, text.data(), needed);
    return true;
}

std::wstring CFtpTarget::Describe(const std::wstring& path) const {
    return L"ftp://" + config.host + L":" + std::to_wstring(config.port) + path;
}

Outcome CFtpTarget::Connect() {
    Outcome outcome = connection.Open(config);
    if (outcome.status == kToolLoginRefused) {
        outcome.reason = "the server refused the login of user " + ToAnsiString(config.userName);
    }
    return outcome;
}

Outcome CFtpTarget::List(const std::wstring& folder, std::vector<TreeEntry>& entries) {
    entries.clear();
    std::vector<FtpListedEntry> listed;
    Outcome outcome = connection.List(Encode(folder), listed);
    if (!outcome) {
        outcome.reason += " (" + ToAnsiString(Describe(folder)) + ")";
        return outcome;
    }
    for (FtpListedEntry& item : listed) {
        TreeEntry entry;
        if (!Decode(item.name, entry.name)) {
            entries.clear();
            return Outcome::Fail(kToolReadError, "cannot list " + ToAnsiString(Describe(folder)) +
                                                     ": a name that is not UTF-8: " + item.name);
        }
        entry.folder = item.folder;
        entry.link = item.link;
        entry.size = item.size;
        // MLSD gives times to the second; LIST none (MDTM asks when needed).
        entry.modified = item.modified;
        entry.exactTime = item.modified != 0;
        entries.push_back(std::move(entry));
    }
    return Outcome::Ok();
}

Outcome CFtpTarget::Stat(const std::wstring& path, TreeEntry& entry) {
    if (path == L"/") {
        entry = TreeEntry{L"/", true};
        return Outcome::Ok();
    }
    // A file is asked for by its own name first (SIZE answers for files
    // only); its time is asked only when a comparison needs it.
    FtpReply reply;
    uint64_t size = 0;
    if (!connection.Ask("SIZE " + Encode(path), reply)) {
        return Failure(kToolRemoteNotFound, "ask the size of", path, reply);
    }
    if (reply.code == 213 && ParseSizeReply(reply.text, size)) {
        entry = TreeEntry{LeafName(path), false, false, size};
        return Outcome::Ok();
    }
    std::vector<TreeEntry> entries;
    Outcome outcome = List(ParentPath(path), entries);
    if (outcome.status == kToolInvalidRemoteDir) outcome.status = kToolRemoteNotFound;
    if (!outcome) return outcome;
    const std::wstring name = LeafName(path);
    for (TreeEntry& candidate : entries) {
        if (candidate.name == name) {
            entry = std::move(candidate);
            return Outcome::Ok();
        }
    }
    return Outcome::Fail(kToolRemoteNotFound, "no " + ToAnsiString(Describe(path)));
}

Outcome CFtpTarget::ExactTime(const std::wstring& path, int64_t& modified) {
    FtpReply reply;
    if (!connection.Ask("MDTM " + Encode(path), reply) || reply.code / 100 != 2) {
        return Failure(kToolRemoteNotFound, "ask the time of", path, reply);
    }
    if (reply.text.size() < 4 || !ParseFtpTime(reply.text.substr(4), modified)) {
        return Outcome::Fail(kToolReadError, "no time in the reply \"" + reply.text + "\"");
    }
    return Outcome::Ok();
}

Outcome CFtpTarget::MakeFolder(const std::wstring& folder) {
    const Outcome outcome =
        Expect("MKD " + Encode(folder), 2, kToolWriteError, "make the folder", folder);
    if (outcome) return outcome;
    TreeEntry entry;
    if (outcome.status == kToolWriteError && Stat(folder, entry) && entry.folder)
        return Outcome::Ok();
    return outcome;
}

Outcome CFtpTarget::Store(const std::wstring& localFile, const std::wstring& partPath,
                          TreeEntry& written) {
    UniqueFileHandle source(CreateFileW(
        localFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) {
        const DWORD error = GetLastError();
        return Outcome::Fail(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                                 ? kToolFileNotFound
                                 : kToolReadError,
                             SystemReason("read", localFile, error));
    }
    // The server confirms the end of the data it received: what was sent is
    // what it holds, and no SIZE is asked.
    uint64_t sent = 0;
    Outcome outcome = connection.Store(
        Encode(partPath), "write " + ToAnsiString(Describe(partPath)),
        [&](char* buffer, std::size_t size, std::size_t& got) {
            DWORD read = 0;
            if (!ReadFile(source.Get(), buffer, static_cast<DWORD>(size), &read, nullptr)) {
                return Outcome::Fail(kToolReadError,
                                     SystemReason("read", localFile, GetLastError()));
            }
            got = read;
            sent += read;
            return Outcome::Ok();
        });
    if (outcome) written = TreeEntry{LeafName(partPath), false, false, sent};
    return outcome;
}

Outcome CFtpTarget::PlaceFile(const std::wstring& partPath, const std::wstring& path,
                              int64_t modified) {
    const std::string part = Encode(partPath), target = Encode(path);
    // Keeping the time is a courtesy of servers: MFMT where FEAT offers it,
    // else MDTM with a time, which some take for a change of it (one without
    // that takes the time and name for a name, and refuses). The temporary
    // file gets it, in the rename's exchange: a failed rename dates no old
    // file, and nothing of the transfer is left for a later command, which on
    // another connection could date a newer file (plftp
    // SeveralConnectionsKeepTheRulesOfOne).
    if (modified != 0 && connection.Mfmt()) {
        connection.Tell("MFMT " + FtpTime(modified) + " " + part);
    } else if (modified != 0 && mdtmSetsTimes == kYes) {
        connection.Tell("MDTM " + FtpTime(modified) + " " + part);
    } else if (modified != 0 && mdtmSetsTimes == kUnknown) {
        FtpReply reply;
        if (connection.Ask("MDTM " + FtpTime(modified) + " " + part, reply)) {
            mdtmSetsTimes = reply.code / 100 == 2 ? kYes : kNo;
        }
    }
    connection.PassiveAhead();  // a file placed is mostly followed by the next one
    Outcome outcome = RenameOnServer(part, target, "rename into", path);
    if (!outcome) {
        if (outcome.status == kToolNoServer) return outcome;
        // A server that does not rename over a file: the old version steps
        // aside under a name of its own, and comes back if the new one cannot
        // take its place. It is removed only once the new one is there.
        const std::string old = Encode(JoinPath(ParentPath(path), OldVersionName(LeafName(path))));
        if (!RenameOnServer(target, old, "rename into", path)) return outcome;
        outcome = RenameOnServer(part, target, "rename into", path);
        if (!outcome) {
            (void)RenameOnServer(old, target, "rename back", path);
            return outcome;
        }
        FtpReply reply;
        (void)connection.Ask("DELE " + old, reply);
    }
    return Outcome::Ok();
}

Outcome CFtpTarget::Fetch(const std::wstring& path, const std::wstring& localFile) {
    UniqueFileHandle target;
    Outcome outcome = connection.Retrieve(
        Encode(path), "read " + ToAnsiString(Describe(path)),
        [&](const char* data, std::size_t size) {
            if (!target) {
                target.Reset(CreateFileW(localFile.c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
                if (!target) {
                    return Outcome::Fail(kToolWriteError,
                                         SystemReason("write", localFile, GetLastError()));
                }
            }
            DWORD written = 0;
            if (!WriteFile(target.Get(), data, static_cast<DWORD>(size), &written, nullptr) ||
                written != size) {
                return Outcome::Fail(kToolWriteError,
                                     SystemReason("write", localFile, GetLastError()));
            }
            return Outcome::Ok();
        });
    // An empty file sends no data: it is made here.
    if (outcome && !target) {
        target.Reset(CreateFileW(localFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!target) {
            outcome =
                Outcome::Fail(kToolWriteError, SystemReason("write", localFile, GetLastError()));
        }
    }
    const bool made = static_cast<bool>(target);
    target.Reset();
    if (!outcome && made) DeleteFileW(localFile.c_str());
    return outcome;
}

Outcome CFtpTarget::RemoveFile(const std::wstring& path) {
    return Expect("DELE " + Encode(path), 2, kToolRemoveError, "delete", path);
}

Outcome CFtpTarget::RemoveFolder(const std::wstring& folder) {
    // A folder cannot be removed while it is the current one on some servers.
    FtpReply reply;
    if (!connection.Ask("CWD " + connection.Home(), reply)) {
        return Failure(kToolRemoveError, "remove the folder", folder, reply);
    }
    return Expect("RMD " + Encode(folder), 2, kToolRemoveError, "remove the folder", folder);
}

Outcome CFtpTarget::Rename(const std::wstring& from, const std::wstring& to) {
    return RenameOnServer(Encode(from), Encode(to), "rename", from);
}
