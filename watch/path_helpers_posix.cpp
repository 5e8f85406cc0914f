// Native stand-in for the folder test: the item path with its final separator
// names a folder when the file system says so. Native tests use paths of this
// system with "/" or "\\" as separators.
//
// The path is encoded as UTF-8 here rather than through std::filesystem's own
// conversion, which goes through the C locale and throws on any character
// outside ASCII: the stand-in takes every text the Windows folder test takes.
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "watch/path_helpers.h"

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string NativePath(const wchar_t* itemPath) {
    std::string path;
    for (const wchar_t* p = itemPath; *p; ++p) {
        char32_t c = static_cast<char32_t>(*p);
        // A 16-bit wchar_t carries UTF-16: join a surrogate pair.
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 &&
            p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(*++p) - 0xDC00);
        }
        AppendUtf8(path, c == U'\\' ? U'/' : c);
    }
    return path;
}

}  // namespace

bool IsFolderPath(const wchar_t* itemPath) {
    if (!itemPath || !*itemPath) return false;
    std::error_code ec;
    return std::filesystem::is_directory(std::filesystem::path(NativePath(itemPath)), ec);
}

int64_t ItemLastWriteTime(const wchar_t* itemPath) {
    if (!itemPath || !*itemPath) return -1;
    std::string path = NativePath(itemPath);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtime) : -1;
}
