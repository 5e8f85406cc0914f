// A fresh, empty folder under the system's temporary folder, removed with its content at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "base/text_conversion.h"

class TempDir {
public:
    TempDir() {
        // The clock as well: some runtimes' random_device gives the same numbers in every process.
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        std::error_code ec;
        do {
            path = std::filesystem::temp_directory_path() /
                   ("pellaro-test-" + std::to_string(std::random_device{}()) + "-" +
                    std::to_string(stamp) + "-" + std::to_string(counter++));
        } while (!std::filesystem::create_directories(path, ec));
    }
    ~TempDir() { std::filesystem::remove_all(path, ignored); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path; }
    // The path as the ANSI code page text the watcher's file calls use.
    std::string Ansi() const { return ToAnsiString(path.wstring()); }
    std::filesystem::path operator/(const std::string& name) const { return path / name; }

private:
    std::filesystem::path path;
    std::error_code ignored;
};

inline std::string ReadFileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}
