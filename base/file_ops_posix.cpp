// Native stand-ins for the file operations: POSIX descriptors. There is no
// sharing mode here, so nothing is ever held; the rest behaves as on Windows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/file_ops.h"

namespace {

// The watcher forms paths with backslashes; here "/" separates.
std::string NativePath(const std::string& path) {
    std::string native(path);
    for (char& ch : native) {
        if (ch == '\\') ch = '/';
    }
    return native;
}

FileResult FromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return FileResult::kMissing;
        case EBUSY:
        case ETXTBSY:
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
        int flags = O_CLOEXEC;
        switch (access) {
            case FileAccess::kRead:
                flags |= O_RDONLY;
                break;
            case FileAccess::kAppend:
                flags |= O_WRONLY | O_APPEND | O_CREAT;
                break;
            case FileAccess::kCreate:
                flags |= O_WRONLY | O_CREAT | O_TRUNC;
                break;
            case FileAccess::kRewrite:
                flags |= O_WRONLY;
                break;
        }
        const int fd = ::open(NativePath(path).c_str(), flags, 0644);
        struct stat info {};
        if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
            ::close(fd);
            outcome = FileResult::kFailed;
        } else if (fd < 0) {
            outcome = FromErrno(errno);
        } else {
            file.native = fd;
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
        const ssize_t written = ::write(static_cast<int>(native), bytes.data(), bytes.size());
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool OpenedFile::CutHere() {
    if (native == -1 || FileFaultInjected(FileOp::kWrite, path)) return false;
    const off_t at = ::lseek(static_cast<int>(native), 0, SEEK_CUR);
    return at >= 0 && ::ftruncate(static_cast<int>(native), at) == 0;
}

bool OpenedFile::Flush() {
    return native != -1 && !FileFaultInjected(FileOp::kFlush, path) &&
           ::fsync(static_cast<int>(native)) == 0;
}

bool OpenedFile::ReadAll(std::string& bytes) {
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::read(static_cast<int>(native), chunk, sizeof chunk);
        if (got < 0) return false;
        if (got == 0) return true;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
}

int64_t OpenedFile::Size() const {
    struct stat info {};
    if (native == -1 || ::fstat(static_cast<int>(native), &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

void OpenedFile::Close() noexcept {
    if (native != -1) ::close(static_cast<int>(native));
    native = -1;
}

FileResult MoveFileTo(const std::string& from, const std::string& to, MoveKind kind) {
    // A rename acts on the file that moves, a replace on the one it replaces.
    if (kind == MoveKind::kRename ? FileFaultInjected(FileOp::kRename, from)
                                  : FileFaultInjected(FileOp::kReplace, to)) {
        return FileResult::kBusy;
    }
    const std::string source = NativePath(from);
    const std::string target = NativePath(to);
    if (kind == MoveKind::kRename) {
        // Refuses an existing target, as MoveFileExW without replacing does.
        if (::link(source.c_str(), target.c_str()) != 0) return FromErrno(errno);
        ::unlink(source.c_str());
        return FileResult::kOk;
    }
    return std::rename(source.c_str(), target.c_str()) == 0 ? FileResult::kOk : FromErrno(errno);
}

FileResult RemoveFile(const std::string& path) {
    if (FileFaultInjected(FileOp::kDelete, path)) return FileResult::kBusy;
    return ::unlink(NativePath(path).c_str()) == 0 ? FileResult::kOk : FromErrno(errno);
}

int64_t FileSizeAt(const std::string& path) {
    struct stat info {};
    if (::stat(NativePath(path).c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool CreateFolderWithParents(const std::string& path) {
    const std::string full = NativePath(path);
    for (std::size_t at = full.find('/', 1); at != std::string::npos; at = full.find('/', at + 1)) {
        ::mkdir(full.substr(0, at).c_str(), 0755);
    }
    ::mkdir(full.c_str(), 0755);
    struct stat info {};
    return ::stat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
