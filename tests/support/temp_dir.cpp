#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "app/text_conversion.h"

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        std::ostringstream name;
        name << "pellaro-test-" << rd() << "-" << stamp << "-" << counter++;
        path = fs::temp_directory_path() / name.str();
        std::error_code ec;
        if (fs::create_directories(path, ec)) break;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string TempDir::Ansi() const { return ToAnsiString(path.wstring()); }

std::string ReadFileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}
