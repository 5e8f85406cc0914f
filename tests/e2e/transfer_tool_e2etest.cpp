// The real watcher and the real transfer tool against a real FTP server: the
// changes made in the folder reach the server, and a server that goes away is
// reported and made good by the whole-folder upload.
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

class TransferToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(remote);
        server = std::make_unique<FtpServer>(remote, "pel", "s3cret pass");
        if (!server->Running()) GTEST_SKIP() << "no FTP server (python3-pyftpdlib)";
        // The real tool where the watcher looks for it.
        fs::copy_file(fs::path(ProgramFolder()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                      fs::copy_options::overwrite_existing);
        // No cmd=: each file's name gives its direction.
        bench.Config("sync_threshold=1\nsub=1\ndir=/\nprotocol=ftp\nip=127.0.0.1\nport=" +
                     std::to_string(server->Port()) + "\nusername=pel\npassword=czNjcmV0IHBhc3M=\n");
        watcher = bench.Start();
        ASSERT_TRUE(watcher);
        ASSERT_NE(bench.Dialog(watcher), nullptr);
    }
    void TearDown() override { KillIfRunning(watcher); }

    void Cmd(const std::wstring& commands) {
        ChildProcess child = StartProcess(L"cmd.exe /c " + commands, {}, bench.folder.wstring());
        DWORD code = 1;
        ASSERT_TRUE(WaitForExit(child, kTimeoutMs, &code));
        ASSERT_EQ(code, 0u);
    }
    // Waits until the server holds what the folder holds.
    bool ServerCatchesUp() {
        return WaitUntil([&] { return FolderTree(remote) == FolderTree(bench.folder); }, kTimeoutMs);
    }

    std::string Diagnosis() const {
        return "server: " + FolderTree(remote) + "\nlog:\n" +
               ReadFileBytes(bench.DataFile("_plftp.log")) + "errors:\n" +
               ReadFileBytes(bench.DataFile("_plerror.txt"));
    }

    WatcherBench bench;
    fs::path remote = bench.home / "served";
    std::unique_ptr<FtpServer> server;
    ChildProcess watcher;
};

TEST_F(TransferToolTest, CreatedRenamedAndDeletedFilesEndTheSameOnTheServer) {
    Cmd(L"echo one> a.txt");
    ASSERT_TRUE(ServerCatchesUp()) << Diagnosis();
    EXPECT_EQ(FolderTree(remote), "a.txt=one\r\n");
    Cmd(L"ren a.txt b.txt");
    ASSERT_TRUE(ServerCatchesUp()) << Diagnosis();
    Cmd(L"echo brief> c.txt && del c.txt && mkdir sub && echo two> sub\\d.txt");
    ASSERT_TRUE(ServerCatchesUp()) << Diagnosis();
    EXPECT_EQ(FolderTree(remote), "b.txt=one\r\n sub/ sub/d.txt=two\r\n");
    EXPECT_FALSE(fs::exists(bench.DataFile("_plerror.txt")));
    EXPECT_EQ(bench.Close(watcher), 0);
}

TEST_F(TransferToolTest, AServerThatWentAwayIsReportedAndTheFolderUploadedOnceItIsBack) {
    const unsigned port = server->Port();
    server->Stop();
    Cmd(L"echo late> late.txt");
    // The batch fails with -1010, one error line for its one command; the
    // report waits for the user.
    HWND report = FindBox(bench.folder.wstring(), kTimeoutMs);
    ASSERT_NE(report, nullptr) << "no report of the failed batch";
    EXPECT_NE(BoxText(report).find(L"-1010: PLE_NOSERVER / Invalid server ip or port"),
              std::wstring::npos);
    const std::string errors = ReadFileBytes(bench.DataFile("_plerror.txt"));
    EXPECT_NE(errors.find("\t-cmd=put|-dir=/|-ldir="), std::string::npos) << errors;
    EXPECT_NE(errors.find("filename=late.txt|\tcannot connect to ftp://127.0.0.1:"), std::string::npos)
        << errors;

    // Once the server is back, the upload that answers the failure sends the folder.
    server = std::make_unique<FtpServer>(remote, "pel", "s3cret pass", 0, port);
    ASSERT_TRUE(server->Running());
    ASSERT_TRUE(PressButton(report, IDOK));
    ASSERT_TRUE(ServerCatchesUp()) << Diagnosis();
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadFileBytes(bench.DataFile("_plftp.log")).find("\tsync put\t") != std::string::npos;
        },
        kTimeoutMs));
    EXPECT_EQ(bench.Close(watcher), 0);
}

}  // namespace
