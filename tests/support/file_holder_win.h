#pragma once
// Another program holding a file open: the file_holder double, started and
// waited for until the file is open. Windows build only.

#include <windows.h>

#include <filesystem>
#include <memory>

#include "support/double_process_win.h"

class HeldFile {
public:
    // `shared`: as the C runtime's fopen(path, "r") holds it (no delete
    // sharing); otherwise with no sharing at all. For `holdMs` at most.
    HeldFile(const std::filesystem::path& file, bool shared, DWORD holdMs);
    // Whether the double has the file open.
    bool Held() const { return held; }
    // Lets the file go (the double ends).
    void Release() { holder.reset(); }
    // Waits until the double has let the file go by itself.
    bool WaitReleased(DWORD timeoutMs) const {
        return holder && holder->WaitExit(timeoutMs).has_value();
    }

private:
    std::unique_ptr<DoubleProcess> holder;
    bool held = false;
};
