// Catches: plftp leaving a folder on Debian's vsftpd or proftpd unlike the watched one, plain or
// over TLS: hidden files a LIST leaves out, files sent again for times the server did not keep.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "app/folder_key.h"
#include "base/bounded_text.h"
#include "support/debian_ftp_servers_win.h"
#include "support/process_win.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Server {
    DebianFtp kind;
    bool tls;
    const char* extra;  // configuration lines of the test's own
    bool keepsTimes;    // the time a client gives a file
    const char* name;
};

// ";"-separated: "+a=text" writes a file dated a minute ago, "*a=text" rewrites it dated 1.5 s
// after its last write, "-a" removes, "a>b" renames.
void Change(const fs::path& root, const std::string& steps) {
    std::istringstream in(steps);
    for (std::string step; std::getline(in, step, ';');) {
        const std::size_t eq = step.find('='), arrow = step.find('>');
        const fs::path file = root / step.substr(1, eq - 1);
        if (step[0] == '+' || step[0] == '*') {
            const auto before = fs::exists(file) ? fs::last_write_time(file) : fs::file_time_type{};
            fs::create_directories(file.parent_path());
            WriteFileBytes(file, step.substr(eq + 1));
            fs::last_write_time(file, step[0] == '*'
                                          ? before + std::chrono::milliseconds(1500)
                                          : fs::last_write_time(file) - std::chrono::minutes(1));
        } else if (step[0] == '-') {
            fs::remove_all(file);
        } else {
            fs::rename(root / step.substr(0, arrow), root / step.substr(arrow + 1));
        }
    }
}

class PlftpServersTest : public ::testing::TestWithParam<Server> {
protected:
    void SetUp() override {
        const Server& kind = GetParam();
        if (!DebianFtpServer::Installed(kind.kind))
            GTEST_SKIP() << DebianFtpServer::Name(kind.kind)
                         << " is not unpacked (scripts/setup.sh)";
        fs::create_directories(remote);
        server = std::make_unique<DebianFtpServer>(kind.kind, remote, "s3cret pass", kind.tls,
                                                   kind.extra);
        ASSERT_TRUE(server->Running()) << DebianFtpServer::Name(kind.kind) << " did not start";
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
    const struct {
        const char* what;
        const char* change;  // to the watched folder first
        bool fresh;          // the run is in a new, empty folder
        const char* direction;
        int done;  // items put, got, made or removed
    } rows[] = {
        {"put", "+a.txt=1;+.hidden=h;+d/.cfg=c;+d/b.txt=22", false, "put", 5},
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
    EXPECT_EQ(std::chrono::abs(moved) < std::chrono::seconds(1), GetParam().keepsTimes);
    // Over TLS, the login began only after AUTH TLS, by the server's own log.
    const std::string log = server->Log();
    EXPECT_NE(log.find("PASS"), std::string::npos) << log;
    if (GetParam().tls) {
        EXPECT_LT(log.find("AUTH TLS"), log.find("USER")) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, PlftpServersTest,
                         testing::Values(Server{DebianFtp::kVsftpd, false, "", true, "Vsftpd"},
                                         Server{DebianFtp::kProftpd, false, "", true, "Proftpd"},
                                         Server{DebianFtp::kVsftpd, false, "mdtm_write=NO\n", false,
                                                "VsftpdKeepingNoTimes"},
                                         Server{DebianFtp::kVsftpd, true, "", true, "VsftpdTls"},
                                         Server{DebianFtp::kProftpd, true, "", true, "ProftpdTls"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
