#include "tools/plftp/ftp_target_win.h"

#include <winsock2.h>

#include <cstdio>

#include "base/text_conversion.h"
#include "base/win_handles.h"
#include "tools/plftp/folder_target_win.h"
#include "tools/plftp/ftp_listing.h"
#include "tools/plftp/path_text.h"

namespace {

constexpr DWORD kTimeoutMs = 15000;
constexpr DWORD kTransferFlags = FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD;

// FtpFailureStatus (ftp_listing.cpp, logic) knows the errors by number.
static_assert(ERROR_INTERNET_LOGIN_FAILURE == 12015 && ERROR_INTERNET_TIMEOUT == 12002 &&
              ERROR_INTERNET_CANNOT_CONNECT == 12029 &&
              ERROR_INTERNET_CONNECTION_ABORTED == 12030 &&
              ERROR_INTERNET_CONNECTION_RESET == 12031 && ERROR_FTP_TRANSFER_IN_PROGRESS == 12110 &&
              ERROR_FTP_DROPPED == 12111 && ERROR_INTERNET_SERVER_UNREACHABLE == 12164 &&
              WSAECONNRESET == 10054 && WSAECONNABORTED == 10053 && WSAETIMEDOUT == 10060 &&
              WSAEHOSTUNREACH == 10065);

std::string LastReply() {
    char text[1024];
    DWORD length = sizeof text;
    DWORD code = 0;
    if (!InternetGetLastResponseInfoA(&code, text, &length)) return {};
    std::string reply(text, length);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    return reply;
}

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

Outcome CFtpTarget::Failure(int32_t status, const char* what, const std::wstring& path) const {
    const DWORD error = GetLastError();
    std::string reason = SystemReason(what, Describe(path), error);
    const std::string reply = error == ERROR_INTERNET_EXTENDED_ERROR ? LastReply() : "";
    if (!reply.empty()) reason += ": " + reply;
    return Outcome::Fail(FtpFailureStatus(status, error, reply), reason);
}

Outcome CFtpTarget::TransferEnd(int32_t status, const char* what, const std::wstring& path) const {
    // WinINet reads the server's last word on the transfer when the file
    // handle closes: 226 or 250 when complete, 426 or 451 when cut.
    const std::string reply = LastReply();
    if (reply.empty() || reply[0] == '2' || reply[0] == '1') return Outcome::Ok();
    return Outcome::Fail(FtpFailureStatus(status, 0, reply),
                         "cannot " + std::string(what) + " " + ToAnsiString(Describe(path)) +
                             ": the server ended the transfer with " + reply);
}

std::string CFtpTarget::CannotHold(const std::wstring& name) const {
    if (!config.utf8Names && !FitsAnsiCodePage(name)) {
        return "a name the ANSI code page cannot hold (encoding=utf8 sends it)";
    }
    if (config.utf8Names) {
        // WinINet takes the UTF-8 bytes through its ANSI calls, which may pass
        // them through the ANSI code page; a name whose bytes would change on
        // the way would reach the server as another name.
        const std::string bytes = Encode(name);
        if (ToAnsiString(ToWideString(bytes)) != bytes) {
            return "a name whose UTF-8 form this system's ANSI code page would change";
        }
    }
    return UnsafeNameReason(name);
}

std::string CFtpTarget::Encode(const std::wstring& path) const {
    std::wstring absolute = path;
    if (!absolute.starts_with(L'/')) {
        absolute = JoinPath(ToWideString(home), path);
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
    session.Reset(InternetOpenW(L"plftp", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session) return Failure(kToolNoServer, "open WinINet for", L"/");
    DWORD timeout = kTimeoutMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                         INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT,
                         INTERNET_OPTION_DATA_SEND_TIMEOUT}) {
        InternetSetOptionW(session.Get(), option, &timeout, sizeof timeout);
    }
    connection.Reset(InternetConnectW(session.Get(), config.host.c_str(), config.port,
                                      config.userName.empty() ? nullptr : config.userName.c_str(),
                                      config.userName.empty() ? nullptr : config.password.c_str(),
                                      INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0));
    if (!connection) {
        Outcome outcome = Failure(kToolNoServer, "connect to", L"/");
        if (outcome.status == kToolLoginRefused) {
            outcome.reason =
                "the server refused the login of user " + ToAnsiString(config.userName);
        }
        return outcome;
    }
    char folder[MAX_PATH * 2] = {};
    DWORD length = sizeof folder;
    home = FtpGetCurrentDirectoryA(connection.Get(), folder, &length) ? folder : "/";
    std::string reply;
    if (config.utf8Names) (void)Command("OPTS UTF8 ON", reply);
    // A server on Windows does not tell names apart by case; the others do.
    if (Command("SYST", reply) && reply.find("Windows") != std::string::npos) caseSensitive = false;
    return Outcome::Ok();
}

bool CFtpTarget::Command(const std::string& command, std::string& reply) {
    const BOOL ok =
        FtpCommandA(connection.Get(), FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(), 0, nullptr);
    reply = LastReply();
    return ok != FALSE;
}

Outcome CFtpTarget::List(const std::wstring& folder, std::vector<TreeEntry>& entries) {
    entries.clear();
    std::vector<FtpListedEntry> listed;
    Outcome outcome = listing.List(config, Encode(folder), listed);
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
    // A file is asked for by its own name first: a listing's parser may cut a
    // name at a blank, and SIZE (which answers for files only) does not.
    std::string reply;
    uint64_t size = 0;
    if (Command("SIZE " + Encode(path), reply) && ParseSizeReply(reply, size)) {
        entry = TreeEntry{LeafName(path), false, false, size};
        int64_t modified = 0;
        if (ExactTime(path, modified)) {
            entry.modified = modified;
            entry.exactTime = true;
        }
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
    std::string reply;
    if (!Command("MDTM " + Encode(path), reply))
        return Failure(kToolRemoteNotFound, "ask the time of", path);
    if (reply.size() < 4 || !ParseFtpTime(reply.substr(4), modified)) {
        return Outcome::Fail(kToolReadError, "no time in the reply \"" + reply + "\"");
    }
    return Outcome::Ok();
}

Outcome CFtpTarget::MakeFolder(const std::wstring& folder) {
    if (FtpCreateDirectoryA(connection.Get(), Encode(folder).c_str())) return Outcome::Ok();
    const Outcome outcome = Failure(kToolWriteError, "make the folder", folder);
    TreeEntry entry;
    if (outcome.status == kToolWriteError && Stat(folder, entry) && entry.folder)
        return Outcome::Ok();
    return outcome;
}

Outcome CFtpTarget::Store(const std::wstring& localFile, const std::wstring& partPath) {
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
    UniqueInternet upload(
        FtpOpenFileA(connection.Get(), Encode(partPath).c_str(), GENERIC_WRITE, kTransferFlags, 0));
    if (!upload) return Failure(kToolWriteError, "write", partPath);
    char buffer[64 * 1024];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source.Get(), buffer, sizeof buffer, &read, nullptr)) {
            return Outcome::Fail(kToolReadError, SystemReason("read", localFile, GetLastError()));
        }
        if (read == 0) break;
        DWORD written = 0;
        if (!InternetWriteFile(upload.Get(), buffer, read, &written) || written != read) {
            return Failure(kToolWriteError, "write", partPath);
        }
    }
    upload.Reset();
    return TransferEnd(kToolWriteError, "write", partPath);
}

Outcome CFtpTarget::PlaceFile(const std::wstring& partPath, const std::wstring& path,
                              int64_t modified) {
    const std::string part = Encode(partPath), target = Encode(path);
    if (!FtpRenameFileA(connection.Get(), part.c_str(), target.c_str())) {
        Outcome outcome = Failure(kToolRenameError, "rename into", path);
        if (outcome.status == kToolNoServer) return outcome;
        // A server that does not rename over a file: the old version steps
        // aside under a name of its own, and comes back if the new one cannot
        // take its place. It is removed only once the new one is there.
        const std::string old = Encode(JoinPath(ParentPath(path), OldVersionName(LeafName(path))));
        if (!FtpRenameFileA(connection.Get(), target.c_str(), old.c_str())) return outcome;
        if (!FtpRenameFileA(connection.Get(), part.c_str(), target.c_str())) {
            outcome = Failure(kToolRenameError, "rename into", path);
            FtpRenameFileA(connection.Get(), old.c_str(), target.c_str());
            return outcome;
        }
        FtpDeleteFileA(connection.Get(), old.c_str());
    }
    // Keeping the time is a courtesy of servers that know MFMT.
    std::string reply;
    if (modified != 0) Command("MFMT " + FtpTime(modified) + " " + target, reply);
    return Outcome::Ok();
}

Outcome CFtpTarget::Fetch(const std::wstring& path, const std::wstring& localFile) {
    UniqueInternet download(
        FtpOpenFileA(connection.Get(), Encode(path).c_str(), GENERIC_READ, kTransferFlags, 0));
    if (!download) return Failure(kToolRemoteNotFound, "read", path);
    UniqueFileHandle target(CreateFileW(localFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target)
        return Outcome::Fail(kToolWriteError, SystemReason("write", localFile, GetLastError()));
    char buffer[64 * 1024];
    Outcome outcome;
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(download.Get(), buffer, sizeof buffer, &read)) {
            outcome = Failure(kToolReadError, "read", path);
            break;
        }
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(target.Get(), buffer, read, &written, nullptr) || written != read) {
            outcome =
                Outcome::Fail(kToolWriteError, SystemReason("write", localFile, GetLastError()));
            break;
        }
    }
    target.Reset();
    download.Reset();
    if (outcome) outcome = TransferEnd(kToolReadError, "read", path);
    if (!outcome) DeleteFileW(localFile.c_str());
    return outcome;
}

Outcome CFtpTarget::RemoveFile(const std::wstring& path) {
    if (FtpDeleteFileA(connection.Get(), Encode(path).c_str())) return Outcome::Ok();
    return Failure(kToolRemoveError, "delete", path);
}

Outcome CFtpTarget::RemoveFolder(const std::wstring& folder) {
    // A folder cannot be removed while it is the current one on some servers.
    FtpSetCurrentDirectoryA(connection.Get(), home.c_str());
    listing.LeaveFolder();
    if (FtpRemoveDirectoryA(connection.Get(), Encode(folder).c_str())) return Outcome::Ok();
    return Failure(kToolRemoveError, "remove the folder", folder);
}

Outcome CFtpTarget::Rename(const std::wstring& from, const std::wstring& to) {
    if (FtpRenameFileA(connection.Get(), Encode(from).c_str(), Encode(to).c_str())) {
        return Outcome::Ok();
    }
    return Failure(kToolRenameError, "rename", from);
}
