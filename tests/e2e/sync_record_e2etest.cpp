// Catches: a whole-folder send that removes what another device put on the target, a change
// made while no watcher ran that the next start never sends, and a start that sends what did not
// change; the real watcher and the real plftp, on a folder target and on a real FTP server.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

// The transfer log's lines that moved a file or removed one.
long Transfers(const WatcherBench& bench) {
    static const std::regex moved("\t(put|delete)\t[^\n]*\tok\r");
    const std::string log = ReadFileBytes(bench.DataFile("_plftp.log"));
    return std::distance(std::sregex_iterator(log.begin(), log.end(), moved),
                         std::sregex_iterator());
}

long Starts(const WatcherBench& bench) {
    const std::string log = ReadFileBytes(bench.DataFile("_plftp.log"));
    long count = 0;
    for (std::size_t at = 0; (at = log.find("\tsync changes\t", at)) != std::string::npos; ++at) {
        ++count;
    }
    return count;
}

class SyncRecordE2ETest : public ::testing::TestWithParam<bool> {};

TEST_P(SyncRecordE2ETest, ChangesMadeWhileNoWatcherRanGoAtTheNextStartAndNothingElse) {
    WatcherBench bench;
    fs::copy_file(fs::path(ProgramFolder()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                  fs::copy_options::overwrite_existing);
    const fs::path remote = bench.home / "remote";
    fs::create_directories(remote);
    std::string config = "protocol=file\nroot=" + remote.string() + "\ndir=/\n";
    std::unique_ptr<FtpServer> server;
    if (GetParam()) {
        server = std::make_unique<FtpServer>(remote, "pel", "s3cret pass");
        if (!server->Running()) GTEST_SKIP() << "no FTP server (python3-pyftpdlib)";
        config = "protocol=ftp\nip=127.0.0.1\nport=" + std::to_string(server->Port()) +
                 "\nusername=pel\npassword=czNjcmV0IHBhc3M=\nencoding=utf8\ndir=/\n";
    }
    bench.Config(config + "sub=1\nsync_threshold=1\n");
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d/e.txt"}) {
        fs::create_directories((bench.folder / name).parent_path());
        WriteFileBytes(bench.folder / name, name);
    }
    WriteFileBytes(remote / "colleague report.txt", "theirs");
    fs::create_directories(remote / "team");
    WriteFileBytes(remote / "team" / "plan.txt", "theirs");

    // The first send, as the run command makes it: the target's own files stay.
    ChildProcess first = StartProcess(L"\"" + (bench.toolDir / "bin" / "plftp.exe").wstring() +
                                          L"\" -f \"" + bench.DataFile("_put.config").wstring() +
                                          L"\" -path \"" + bench.folder.wstring() + L"\"",
                                      {{L"APPDATA", bench.appData.wstring()}});
    DWORD code = 1;
    ASSERT_TRUE(WaitForExit(first, 60000, &code));
    ASSERT_EQ(code, 0u) << ReadFileBytes(bench.DataFile("_plerror.txt"));
    const std::string synced =
        "a.txt=a.txt b.txt=b.txt c.txt=c.txt colleague report.txt=theirs d/ d/e.txt=d/e.txt "
        "team/ team/plan.txt=theirs";
    EXPECT_EQ(FolderTree(remote), synced);

    // A watcher's first start sends nothing of its own; then it stops.
    ChildProcess watcher = bench.Start();
    ASSERT_NE(bench.Dialog(watcher), nullptr);
    EXPECT_EQ(bench.Close(watcher), 0);
    EXPECT_EQ(FolderTree(remote), synced);

    // While no watcher runs: a file deleted, one edited, one made here; another device adds one.
    fs::remove(bench.folder / "b.txt");
    WriteFileBytes(bench.folder / "c.txt", "edited while off");
    WriteFileBytes(bench.folder / "d" / "n.txt", "new");
    WriteFileBytes(remote / "from laptop.txt", "laptop");
    const long before = Transfers(bench);
    watcher = bench.Start();
    ASSERT_NE(bench.Dialog(watcher), nullptr);
    const std::string changed =
        "a.txt=a.txt c.txt=edited while off colleague report.txt=theirs d/ d/e.txt=d/e.txt "
        "d/n.txt=new from laptop.txt=laptop team/ team/plan.txt=theirs";
    EXPECT_TRUE(WaitUntil([&] { return FolderTree(remote) == changed; }, 60000))
        << FolderTree(remote);
    EXPECT_EQ(bench.Close(watcher), 0);
    EXPECT_EQ(Transfers(bench) - before, 3) << ReadFileBytes(bench.DataFile("_plftp.log"));

    // A start with nothing changed sends no file.
    const long starts = Starts(bench), sent = Transfers(bench);
    watcher = bench.Start();
    ASSERT_NE(bench.Dialog(watcher), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return Starts(bench) > starts; }, 60000));
    EXPECT_EQ(bench.Close(watcher), 0);
    EXPECT_EQ(Transfers(bench), sent) << ReadFileBytes(bench.DataFile("_plftp.log"));
    EXPECT_EQ(FolderTree(remote), changed);
    EXPECT_EQ(ReadFileBytes(bench.DataFile("_plerror.txt")), "");
}

INSTANTIATE_TEST_SUITE_P(Targets, SyncRecordE2ETest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Ftp" : "Folder"; });

}  // namespace
