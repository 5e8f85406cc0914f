// Native stand-ins for the replace and the held-open append.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "sync/event_list_file.h"

bool ReplaceExistingFile(const std::string& source, const std::string& target) {
    return std::rename(source.c_str(), target.c_str()) == 0;
}

AppendResult EventListAppender::Append(const std::string& path, int64_t expectedSize,
                                       std::string_view bytes) {
    struct stat info {};
    if (file >= 0 && expectedSize > 0 && openPath == path) {
        if (::stat(path.c_str(), &info) != 0 || info.st_size != expectedSize) {
            Close();
            return AppendResult::kUnexpectedSize;
        }
    } else {
        Close();
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return AppendResult::kFailed;
        file = fd;
        openPath = path;
        if (::fstat(fd, &info) != 0 || info.st_size != expectedSize) {
            Close();
            return AppendResult::kUnexpectedSize;
        }
    }
    if (bytes.empty()) return AppendResult::kAppended;
    const ssize_t written = ::write(static_cast<int>(file), bytes.data(), bytes.size());
    if (written != static_cast<ssize_t>(bytes.size())) {
        Close();
        return AppendResult::kFailed;
    }
    return AppendResult::kAppended;
}

void EventListAppender::Close() noexcept {
    if (file >= 0) ::close(static_cast<int>(file));
    file = -1;
    openPath.clear();
}
