// The transfer tool as a test holds it: each run waits at the gate until the test opens it, and a
// run of the folder while another is under way is refused with -1027, as the tool refuses it.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct ToolGate {
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0, most = 0, entered = 0;
    bool open = false;
    std::vector<std::string> seen;  // "batch" or "upload", in the order the runs began

    int32_t Run(const char* line) {
        std::unique_lock<std::mutex> lock(mutex);
        seen.push_back(std::string(line).find(" -filelist ") != std::string::npos ? "batch"
                                                                                  : "upload");
        const int32_t status = ++inside > 1 ? -1027 : 0;
        most = std::max(most, inside);
        ++entered;
        changed.notify_all();
        const bool opened =
            changed.wait_for(lock, std::chrono::seconds(20), [this] { return open; });
        --inside;
        return opened ? status : -1;
    }
    bool WaitEntered(int runs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20),
                                [this, runs] { return entered >= runs; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
};
