#pragma once
// A fresh, empty folder under the system's temporary folder, removed with
// everything in it when the owner goes.

#include <filesystem>
#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path; }
    // The path as the ANSI code page text the watcher's file calls use.
    std::string Ansi() const;
    std::filesystem::path operator/(const std::string& name) const { return path / name; }

private:
    std::filesystem::path path;
};

// Whole-file helpers for assertions.
std::string ReadFileBytes(const std::filesystem::path& file);
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);
