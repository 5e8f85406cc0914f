// Catches: plftp leaving a folder on Debian's vsftpd or proftpd unlike the watched one, plain or
// over TLS: hidden files a LIST leaves out, files sent again for times the server did not keep.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <regex>
#include <string>

#include "app/folder_key.h"
#include "base/bounded_text.h"
#include "support/debian_ftp_servers_win.h"
#include "support/folder_changes.h"
#include "support/process_win.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// A server and configuration lines of the test's own (which here keep it from taking the time a
// client gives a file).
struct Server {
    DebianFtp kind;
    bool tls;
    const char *extra, *name;
};

class PlftpServersTest : public ::testing::TestWithParam<Server> {
protected:
    void SetUp() override {
        if (!DebianFtpServer::Installed(GetParam().kind))
            GTEST_SKIP() << GetParam().name << ": not unpacked (scripts/setup.sh)";
        fs::create_directories(remote);
        server = std::make_unique<DebianFtpServer>(GetParam().kind, remote, "s3cret pass",
                                                   GetParam().tls, GetParam().extra);
        ASSERT_TRUE(server->Running()) << GetParam().name << " did not start";
    }

    std::string Settings() const {
        return std::string("protocol=") + (GetParam().tls ? "ftps" : "ftp") +
               "\nip=127.0.0.1\nport=" + std::to_string(server->Port()) +
               "\nusername=" + server->User() +
               "\npassword=czNjcmV0IHBhc3M=\nencoding=utf8\ndir=" + server->Folder() + "\n" +
               (GetParam().tls ? "cafile=" + server->CaFile().string() + "\n" : "");
    }

    // plftp on the whole of `watched` in `direction` ("put" or "get", "-replace" first for a
    // mirror): the items it put, got, made, renamed or removed, by its transfer log.
    int Run(const fs::path& watched, const std::string& direction) {
        BoundedText<512> key;
        DeriveFolderKey(watched.wstring().c_str(), key);
        const fs::path data = home / "AppData" / "xq" / "pellaro";
        const std::string stem = (data / key.Str()).string();
        const bool replace = direction.starts_with("-replace ");
        const std::string cmd = replace ? direction.substr(9) : direction;
        fs::create_directories(data);
        WriteFileBytes(stem + "_" + cmd + ".config", "cmd=" + cmd + "\n" + Settings());
        const std::string before = ReadFileBytes(stem + "_plftp.log");
        const ChildProcess tool = StartProcess(L"\"" + ProgramFolder() + L"\\plftp.exe\" " +
                                                   (replace ? L"-replace " : L"") + L"-f \"" +
                                                   ToWideString(stem + "_" + cmd + ".config") +
                                                   L"\" -path \"" + watched.wstring() + L"\"",
                                               {{L"APPDATA", (home / "AppData").wstring()}});
        DWORD code = 1;
        EXPECT_TRUE(WaitForExit(tool, 60000, &code)) << "plftp did not end";
        KillIfRunning(tool);
        EXPECT_EQ(code, 0u) << ReadFileBytes(stem + "_plerror.txt");
        added = ReadFileBytes(stem + "_plftp.log").substr(before.size());
        static const std::regex done("\t(put|get|mkdir|rename|delete|rmdir)\t[^\n]*\tok\r");
        return static_cast<int>(
            std::distance(std::sregex_iterator(added.begin(), added.end(), done), {}));
    }

    TempDir home;
    fs::path watched = home / "watched", fetched = home / "fetched", remote = home / "remote";
    std::unique_ptr<DebianFtpServer> server;
    std::string added;  // the transfer log's lines of the last run
};

TEST_P(PlftpServersTest, PutsAndGetsLeaveBothSidesEqualAndSendNothingTwice) {
    // A change to the watched folder, then a run there or in a new, empty folder ("fresh"): the
    // items it put, got, made or removed, and both sides equal after it.
    const struct {
        const char *what, *change;
        bool fresh;
        const char* direction;
        int done;
    } rows[] = {
        {"put", "^a.txt=1;^.hidden=h;^d/.cfg=c;^d/b.txt=22", false, "put", 5},
        {"second put", "", false, "put", 0},
        {"put after a rename", "a.txt>c.txt;d/.cfg>d/.conf", false, "put", 4},
        // The same size, a later time: sent, whatever the server kept of times.
        {"put after a delete and an edit", "-d/b.txt;*c.txt=2;*.hidden=H", false, "put", 3},
        {"mirror put", "", false, "-replace put", 0},
        {"get into an empty folder", "", true, "get", 4},
        {"put from there", "", true, "put", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const fs::path& here = row.fresh ? fetched : watched;
        fs::create_directories(here);
        Change(watched, row.change);
        EXPECT_EQ(Run(here, row.direction), row.done) << added;
        EXPECT_EQ(FolderTree(remote), FolderTree(here));
    }
    EXPECT_EQ(FolderTree(remote), ".hidden=H c.txt=2 d/ d/.conf=c");
    // The times came with the files, where the server keeps them.
    const auto moved =
        fs::last_write_time(fetched / "c.txt") - fs::last_write_time(watched / "c.txt");
    EXPECT_EQ(std::chrono::abs(moved) < std::chrono::seconds(1), *GetParam().extra == 0);
    // The server's own log: the login, over TLS only after AUTH TLS.
    const std::string log = server->Log();
    EXPECT_TRUE(log.find("PASS") != std::string::npos &&
                (!GetParam().tls || log.find("AUTH TLS") < log.find("USER")))
        << log;
}

INSTANTIATE_TEST_SUITE_P(Servers, PlftpServersTest,
                         testing::Values(Server{DebianFtp::kVsftpd, false, "", "Vsftpd"},
                                         Server{DebianFtp::kProftpd, false, "", "Proftpd"},
                                         Server{DebianFtp::kVsftpd, false, "mdtm_write=NO\n",
                                                "VsftpdKeepingNoTimes"},
                                         Server{DebianFtp::kVsftpd, true, "", "VsftpdTls"},
                                         Server{DebianFtp::kProftpd, true, "", "ProftpdTls"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
