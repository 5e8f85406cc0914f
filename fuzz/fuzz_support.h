#pragma once
// Shared by the fuzz targets: a reader that turns the fuzzer's bytes into
// choices and texts, a per-process temporary folder for targets whose code
// writes files, quiet seams, and a check that makes a broken invariant a
// finding.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/seams.h"
#include "base/text_conversion.h"

// A broken invariant aborts, which libFuzzer records as a crash with its input.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size)
        : rest(reinterpret_cast<const char*>(data), size) {}

    bool Empty() const { return rest.empty(); }
    std::size_t Size() const { return rest.size(); }

    // 0 once the input is used up, so every choice stays defined.
    uint8_t Byte() {
        if (rest.empty()) return 0;
        const auto byte = static_cast<uint8_t>(rest.front());
        rest.remove_prefix(1);
        return byte;
    }
    uint32_t Below(uint32_t n) { return Byte() % n; }

    // Up to `n` bytes.
    std::string_view Take(std::size_t n) {
        const std::string_view taken = rest.substr(0, n);
        rest.remove_prefix(taken.size());
        return taken;
    }
    // The bytes before the next `separator` (which is consumed), or all the rest.
    std::string_view Until(char separator) {
        const std::size_t at = rest.find(separator);
        const std::string_view taken = rest.substr(0, at);
        rest.remove_prefix(at == std::string_view::npos ? rest.size() : at + 1);
        return taken;
    }
    std::string_view Rest() { return Take(rest.size()); }

private:
    std::string_view rest;
};

// Both code pages of the native conversions: 932 puts "\" and "|" byte values
// inside double-byte characters.
inline void SelectCodePageFrom(uint8_t choice) { SelectAnsiCodePage(choice & 1 ? 932 : 1252); }

// A fresh folder for this process, removed at exit; paths inside it are plain
// ASCII, so every code page names them alike.
inline const std::string& FuzzFolder() {
    static const std::string folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pellaro-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        static const std::string removeAtExit = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removeAtExit, ec);
        });
        return pattern;
    }();
    return folder;
}

inline void WriteBytes(const std::string& path, std::string_view bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    if (!bytes.empty())
        FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    FUZZ_CHECK(std::fclose(file) == 0);
}

// The whole file; `exists` tells a missing file from an empty one.
inline std::string ReadBytes(const std::string& path, bool* exists = nullptr) {
    std::string bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (exists) *exists = file != nullptr;
    if (!file) return bytes;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
    std::fclose(file);
    return bytes;
}

// No message goes anywhere; the code under test must never end the process.
inline void QuietSeams() {
    Seams& seams = CurrentSeams();
    seams.showTimedBox = [](const std::wstring&, const std::wstring&, uint32_t) { return -1; };
    seams.sleepMs = [](uint32_t) {};
    seams.endProcess = [](uint32_t code) {
        std::fprintf(stderr, "the code under test ended the process with %u\n", code);
        std::abort();
    };
}
