// Catches: pellaro-echo missing, repeating or mislabelling a watcher's box, leaving a box to its
// time-out, touching another folder's box, or printing a transfer log or error line late, twice,
// or not in UTF-8.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "notify/timed_message_box.h"
#include "support/process_win.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string Utf8(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

void Append(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
}

// pellaro-echo with its standard output in a file of the test's folder.
class BoxEchoTest : public ::testing::Test {
protected:
    void SetUp() override {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        UniqueFileHandle out(CreateFileW(output.wstring().c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(out);
        Append(log, "2026-01-01 10:00:00\tput\tZ:\\old.txt\t/old.txt\tok\r\n");
        std::wstring line = L"\"" + ProgramFolder() + L"\\pellaro-echo.exe\" \"" + folder +
                            L"\" \"" + log.wstring() + L"\" \"" + errors.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.Get();
        startup.hStdError = out.Get();
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &info));
        CloseHandle(info.hThread);
        echo.process.Reset(info.hProcess);
        echo.id = info.dwProcessId;
        // It has taken the files' sizes once it looks for boxes; a first box tells.
        ASSERT_TRUE(ShowUntilPressed(folder, L"MANUALLY reflect local events to remote, please."));
        ASSERT_TRUE(Printed("box 212: MANUALLY reflect local events to remote, please.\n"));
    }
    void TearDown() override { KillIfRunning(echo); }

    std::string Output() const { return ReadFileBytes(output); }
    // True once `text` is in the output from byte `from` on (at most 10 s).
    bool Printed(const std::string& text, std::size_t from = 0) const {
        const bool found =
            WaitUntil([&] { return Output().find(text, from) != std::string::npos; }, 10000);
        if (!found) ADD_FAILURE() << "not printed: " << text << "\noutput:\n" << Output();
        return found;
    }
    // Shows an OK box as the watcher does; true when something pressed it within 10 s.
    static bool ShowUntilPressed(const std::wstring& caption, const std::wstring& text) {
        return TimedMessageBox(text.c_str(), caption.c_str(), 10000) == IDOK;
    }

    TempDir dir;
    fs::path output = dir / "echo.txt";
    fs::path log = dir / "key_plftp.log";
    fs::path errors = dir / "key_plerror.txt";
    std::wstring folder = L"C:\\users\\me\\My Docs";
    ChildProcess echo;
};

TEST_F(BoxEchoTest, EachBoxOfTheFolderIsPrintedOnceWithItsCodeAndPressed) {
    const std::wstring connect =
        L"Could not connect to server.\nPlease verify network connectivity or config files.";
    const std::wstring japanese = L"指示に従い、本機 <= 遠隔 からの同期が実行中です !";
    // caption (the folder as the watcher may spell it), text, what is printed; the first again
    // is a new box, printed again.
    const std::tuple<std::wstring, std::wstring, std::string> cases[] = {
        {folder, connect,
         "box -2005: Could not connect to server.\n    Please verify network connectivity or "
         "config files.\n"},
        {L"c:\\USERS\\me\\My Docs\\",
         L" Threshold count reached\nProcess failed with returned as -1010: PLE_NOSERVER",
         "box 100: Threshold count reached\n    Process failed with returned as -1010: "
         "PLE_NOSERVER\n"},
        {folder, japanese, "box 203: " + Utf8(japanese) + "\n"},
        {folder,
         L"You may be run into error ! \nEnsure that you terminate plerror.txt before performing "
         L"further events",
         "box -2013: You may be run into error !\n    Ensure that you terminate plerror.txt before "
         "performing further events\n"},
        {folder, connect, "box -2005: Could not connect to server.\n"},
    };
    for (const auto& [caption, text, printed] : cases) {
        const std::size_t before = Output().size();
        EXPECT_TRUE(ShowUntilPressed(caption, text)) << Utf8(text);
        Printed(printed, before);
    }

    // Another folder's box (a longer path of the same start) is left alone.
    std::thread other(
        [] { ShowUntilPressed(L"C:\\users\\me\\My Docs 2", L"Could not connect to server."); });
    HWND box = FindBox(L"C:\\users\\me\\My Docs 2", 10000);
    ASSERT_NE(box, nullptr);
    Sleep(1000);
    EXPECT_TRUE(IsWindow(box)) << "another folder's box was pressed";
    PressButton(box, IDOK);
    other.join();
    EXPECT_EQ(Output().find("My Docs 2"), std::string::npos) << Output();
}

TEST_F(BoxEchoTest, NewLinesOfTheLogAndTheErrorFileArePrintedOnceInUtf8) {
    // plftp writes UTF-8: a name out of every single code page, whatever the desktop's.
    const std::wstring name = L"日本語 résumé.txt";
    const std::string utf8 = Utf8(name);
    Append(log, "2026-01-01 10:00:01\tput\tZ:\\docs\\" + utf8 + "\t/docs/" + utf8 + "\tok\r\n");
    Printed("10:00:01 put      Z:\\docs\\" + utf8 + " -> /docs/" + utf8 + "  ok\n");
    // A line still being written waits for its end.
    Append(log, "2026-01-01 10:00:02\tdelete\t\t/gone.txt");
    Sleep(500);
    Append(log, "\tok\r\n");
    Printed("10:00:02 delete   /gone.txt  ok\n");
    Append(errors, "2026-01-01 10:00:03\t-cmd=put|-filename=" + utf8 +
                       "|\tcannot connect to ftp://127.0.0.1:21/ (error 12029)\r\n");
    Printed("10:00:03 FAILED   -cmd=put|-filename=" + utf8 +
            "|: cannot connect to ftp://127.0.0.1:21/ (error 12029)\n");
    // A log rolled over starts again: its first line is new.
    fs::rename(log, dir / "key_plftp.log.1");
    Append(log, "2026-01-01 10:00:04\tput\tZ:\\a.txt\t/a.txt\tok\r\n");
    Printed("10:00:04 put      Z:\\a.txt -> /a.txt  ok\n");

    const std::string out = Output();
    EXPECT_EQ(out.find("old.txt"), std::string::npos) << "a line from before its start\n" << out;
    EXPECT_EQ(out.find("10:00:01"), out.rfind("10:00:01")) << "a line printed twice\n" << out;
}

}  // namespace
