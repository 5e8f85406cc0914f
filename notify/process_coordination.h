#pragma once
// Process-level coordination between a watcher, the other watchers (one per
// folder) and the client's tray application: ending a process, the watcher
// itself included; telling whether the tray application runs; telling whether
// a process id recorded in the registry belongs to a running watcher; telling
// whether the watched folder lies on a remote drive.
//
// None of them shares state with other threads. IsTrayAppRunning runs on the
// sync timer thread, IsRunningWatcher and IsRemoteDrive on the dialog thread
// at start-up, CloseAndTerminate on whichever thread ends a process.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/process_id.h"

// The image names the checks look for.
constexpr wchar_t kTrayAppImageName[] =
    L"plkSysTrayApp.exe";                               // anywhere in the path, case-sensitive
constexpr wchar_t kWatcherImageStem[] = L"PellaroCNW";  // the file name without extension, exactly

enum CloseResult : int32_t {
    kCloseFailed = 0,        // the process could not be opened or terminated
    kCloseAlreadyEnded = 1,  // it had ended by the time it was tested
    kCloseTerminated = 2,    // it was terminated (exit code 0)
};

// Posts WM_CLOSE to every top-level window of the process, then terminates it
// with exit code 0 without waiting for the windows. With this process's own id
// the end goes through the endProcess seam: it does not return unless a test
// replaced the seam (then it returns kCloseTerminated).
int32_t CloseAndTerminate(uint32_t processId);

bool IsTrayAppRunning();

// Whether the process whose decimal id leads `processIdText` runs an executable
// named PellaroCNW (any folder, any extension). Shows nothing: the registry
// asks it while it holds its lock.
bool IsWatcherProcess(const char* processIdText);

// IsWatcherProcess, and when it is true, message -2001 with watchedPath as
// caption before this returns.
bool IsRunningWatcher(const char* processIdText);

// Whether watchedPath lies on a remote drive: the drive type of its volume root
// (the path itself names no root, which the drive type query requires).
bool IsRemoteDrive();

// ---- Text rules used by the checks above ----

// The process id that a text begins with: its leading decimal digits (a line
// feed or anything else after them does not matter). 0 when it does not begin
// with a digit or the number does not fit 32 bits.
uint32_t ParseProcessId(std::string_view text);

// Whether the executable's file name, without directory and extension, is
// exactly PellaroCNW.
bool IsWatcherImagePath(std::wstring_view executablePath);

// Whether a module path names the tray application.
bool IsTrayAppImagePath(std::wstring_view modulePath);

// The root of the volume that holds `path`: "C:\" for "C:\w\x", "\\srv\share\"
// for "\\srv\share\w"; empty when the path has neither form.
std::wstring VolumeRootOf(std::wstring_view path);
