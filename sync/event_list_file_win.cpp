// The C runtime's rename() refuses an existing target on Windows; MoveFileExW
// replaces it in one step, so a reader sees the old or the new file only.
#include <windows.h>

#include "app/text_conversion.h"
#include "sync/event_list_file.h"

bool ReplaceExistingFile(const std::string& source, const std::string& target) {
    return MoveFileExW(ToWideString(source).c_str(), ToWideString(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

namespace {

HANDLE AsHandle(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

int64_t SizeAtPath(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                data.nFileSizeLow);
}

}  // namespace

AppendResult EventListAppender::Append(const std::string& path, int64_t expectedSize,
                                       std::string_view bytes) {
    if (file != -1 && expectedSize > 0 && openPath == path) {
        if (SizeAtPath(widePath) != expectedSize) {
            Close();
            return AppendResult::kUnexpectedSize;
        }
    } else {
        Close();
        // Delete sharing lets the firing rename the file while it is open here.
        widePath = ToWideString(path);
        const HANDLE handle = CreateFileW(widePath.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return AppendResult::kFailed;
        file = reinterpret_cast<intptr_t>(handle);
        openPath = path;
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle, &size) || size.QuadPart != expectedSize) {
            Close();
            return AppendResult::kUnexpectedSize;
        }
    }
    if (bytes.empty()) return AppendResult::kAppended;
    DWORD written = 0;
    if (!WriteFile(AsHandle(file), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) ||
        written != bytes.size()) {
        Close();
        return AppendResult::kFailed;
    }
    return AppendResult::kAppended;
}

void EventListAppender::Close() noexcept {
    if (file != -1) CloseHandle(AsHandle(file));
    file = -1;
    openPath.clear();
    widePath.clear();
}
