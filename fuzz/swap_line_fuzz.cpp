// The first line of the transfer tool's swap file, written by another program:
// the test of it against the C library's own reading of "<word> <integer> get"
// (sscanf with "%s %ld %s"), which the test takes the place of.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "sync/transfer_runs.h"

namespace {

bool ScanSaysDownload(const char* line) {
    const std::size_t room = std::strlen(line) + 1;
    std::string word(room, '\0');
    std::string third(room, '\0');
    long number = 0;
    if (std::sscanf(line, "%s %ld %s", word.data(), &number, third.data()) != 3) return false;
    return std::strcmp(third.c_str(), "get") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // As a C string: up to the first zero byte.
    const std::string line(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(SwapLineSaysDownload(line.c_str()) == ScanSaysDownload(line.c_str()));
    FUZZ_CHECK(!SwapLineSaysDownload(nullptr));
    return 0;
}
