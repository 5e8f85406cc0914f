// A test folder's changes, spelled as a line ("+a=1;b>c"), and its files aged.
#pragma once

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>

#include "support/temp_dir.h"

// ";"-separated: "+a/b=text" writes (UTF-8 names), "^a=text" writes it dated a minute ago,
// "*a=text" dated 1.5 s after its last write; "-a" removes, "a>b" renames.
inline void Change(const std::filesystem::path& root, const std::string& steps) {
    namespace fs = std::filesystem;
    std::istringstream in(steps);
    for (std::string step; std::getline(in, step, ';');) {
        const std::size_t eq = step.find('='), arrow = step.find('>');
        const std::string name = step.substr(1, eq - 1);
        const fs::path file = root / fs::path(std::u8string(name.begin(), name.end()));
        if (step[0] == '+' || step[0] == '*' || step[0] == '^') {
            const auto before = fs::exists(file) ? fs::last_write_time(file) : fs::file_time_type{};
            fs::create_directories(file.parent_path());
            WriteFileBytes(file, step.substr(eq + 1));
            if (step[0] == '*') fs::last_write_time(file, before + std::chrono::milliseconds(1500));
            if (step[0] == '^')
                fs::last_write_time(file, fs::last_write_time(file) - std::chrono::minutes(1));
        } else if (step[0] == '-') {
            fs::remove_all(file);
        } else {
            fs::rename(root / step.substr(0, arrow), root / step.substr(arrow + 1));
        }
    }
}

// Dates every file a minute earlier: one sent within the second it was saved in is sent again.
inline void AgeFiles(const std::filesystem::path& root) {
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (item.is_regular_file())
            std::filesystem::last_write_time(item.path(),
                                             item.last_write_time() - std::chrono::minutes(1));
    }
}
