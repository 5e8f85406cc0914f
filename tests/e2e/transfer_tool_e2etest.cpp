// Catches: changes that never reach a real FTP server, a lost server left unreported or unrepaired.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/box_driver.h"
#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kTimeoutMs = 60000;  // a loaded machine is slow to start Wine programs

// The real watcher and the real tool: what is made, renamed and deleted in the folder ends the
// same on the server; a server gone is reported, and once it is back the folder is uploaded.
TEST(TransferToolE2ETest, TheServerFollowsTheFolderAndALostServerIsMadeGood) {
    WatcherBench bench;
    const fs::path remote = bench.home / "served";
    fs::create_directories(remote);
    auto server = std::make_unique<FtpServer>(remote, "pel", "s3cret pass");
    if (!server->Running()) GTEST_SKIP() << "no FTP server (python3-pyftpdlib)";
    fs::copy_file(fs::path(ProgramFolder()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                  fs::copy_options::overwrite_existing);
    // No cmd=: each file's name gives its direction.
    bench.Config("sync_threshold=1\nsub=1\ndir=/\nprotocol=ftp\nip=127.0.0.1\nport=" +
                 std::to_string(server->Port()) + "\nusername=pel\npassword=czNjcmV0IHBhc3M=\n");
    ChildProcess watcher = bench.Start();
    ASSERT_NE(bench.Dialog(watcher), nullptr);
    const auto change = [&](const std::wstring& commands) {
        ChildProcess child = StartProcess(L"cmd.exe /c " + commands, {}, bench.folder.wstring());
        ASSERT_TRUE(WaitForExit(child, kTimeoutMs, nullptr));
    };
    const auto catchesUp = [&] {
        return WaitUntil([&] { return FolderTree(remote) == FolderTree(bench.folder); },
                         kTimeoutMs);
    };
    const auto diagnosis = [&] {
        return "server: " + FolderTree(remote) + "\nlog:\n" +
               ReadFileBytes(bench.DataFile("_plftp.log")) + "errors:\n" +
               ReadFileBytes(bench.DataFile("_plerror.txt"));
    };
    for (const wchar_t* step :
         {L"echo one> a.txt", L"ren a.txt b.txt",
          L"echo brief> c.txt && del c.txt && mkdir sub && echo two> sub\\d.txt"}) {
        change(step);
        ASSERT_TRUE(catchesUp()) << fs::path(step).string() << "\n" << diagnosis();
    }
    EXPECT_EQ(FolderTree(remote), "b.txt=one\r\n sub/ sub/d.txt=two\r\n");
    EXPECT_FALSE(fs::exists(bench.DataFile("_plerror.txt")));

    const unsigned port = server->Port();
    server->Stop();
    change(L"echo late> late.txt");
    // The batch fails with -1010, one error line for its one command; the report waits.
    HWND report = FindBox(bench.folder.wstring(), kTimeoutMs);
    ASSERT_NE(report, nullptr) << "no report of the failed batch";
    EXPECT_NE(BoxText(report).find(L"-1010: PLE_NOSERVER / Invalid server ip or port"),
              std::wstring::npos);
    const std::string errors = ReadFileBytes(bench.DataFile("_plerror.txt"));
    EXPECT_NE(errors.find("|-filename=late.txt|\tcannot connect to ftp://127.0.0.1:"),
              std::string::npos)
        << errors;
    server = std::make_unique<FtpServer>(remote, "pel", "s3cret pass", 0, port);
    ASSERT_TRUE(server->Running());
    ASSERT_TRUE(PressButton(report, IDOK));
    ASSERT_TRUE(catchesUp()) << diagnosis();
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadFileBytes(bench.DataFile("_plftp.log")).find("\tsync put\t") !=
                   std::string::npos;
        },
        kTimeoutMs));
    EXPECT_EQ(bench.Close(watcher), 0);
    KillIfRunning(watcher);
}

}  // namespace
