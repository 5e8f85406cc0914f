#pragma once
// Replaceable platform calls: what tests must control. The table starts with
// the real calls; unit tests install fakes, end-to-end tests use the real ones.
// It is the ground floor's part of the watcher's seam table (app/seam_table.h),
// which saves and restores every part at once.

#include <cstdint>
#include <string>

struct Seams {
    // Shows a message box that closes by itself after timeoutMs (0: never).
    // Returns the button pressed (1 for OK) or -1 when it timed out.
    int (*showTimedBox)(const std::wstring& caption, const std::wstring& text,
                        uint32_t timeoutMs) = nullptr;
    // Asks a Yes/No question; true for Yes.
    bool (*askYesNo)(const std::wstring& caption, const std::wstring& text) = nullptr;
    // Whether the network is reachable (the System Event Notification Service's
    // IsNetworkAlive on Windows).
    bool (*isNetworkAlive)() = nullptr;
    // Calendar time in seconds since 1970.
    int64_t (*now)() = nullptr;
    void (*sleepMs)(uint32_t milliseconds) = nullptr;
    // Ends this process at once with the given exit code (no return).
    void (*endProcess)(uint32_t exitCode) = nullptr;
};

// The real calls of this platform.
Seams RealSeams();

// The table in use.
Seams& CurrentSeams();
