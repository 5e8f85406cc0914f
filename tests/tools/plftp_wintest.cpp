// Catches: a plftp command, synchronisation or failure giving a wrong tree, status or error line.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "base/bounded_text.h"
#include "app/folder_key.h"
#include "base/text_conversion.h"
#include "support/file_holder_win.h"
#include "support/folder_changes.h"
#include "support/ftp_server_win.h"
#include "support/process_win.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// kFtpList: a server without MLSD; kFtps: explicit TLS, the server's certificate from a test CA.
enum class Target { kFolder, kFtp, kFtpList, kFtps };

class PlftpTest : public ::testing::TestWithParam<Target> {
protected:
    void SetUp() override {
        for (const fs::path& folder : {watched, remote, data}) fs::create_directories(folder);
        BoundedText<512> derived;
        DeriveFolderKey(watched.wstring().c_str(), derived);
        key = derived.Str();
        if (GetParam() != Target::kFolder) {
            server = std::make_unique<FtpServer>(
                remote, "pel", "s3cret pass", GetParam() != Target::kFtpList,
                GetParam() == Target::kFtps ? FtpSecurity::kTls : FtpSecurity::kPlain);
            if (!server->Running()) GTEST_SKIP() << "no FTP server (python3-pyftpdlib)";
        }
    }

    std::string Settings() const {
        if (GetParam() == Target::kFolder) return "protocol=file\nroot=" + remote.string() + "\n";
        return ServerSettings(*server, GetParam() == Target::kFtps ? "ftps" : "ftp");
    }
    static std::string ServerSettings(const FtpServer& on, const std::string& protocol) {
        return "protocol=" + protocol + "\nip=127.0.0.1\nport=" + std::to_string(on.Port()) +
               "\nusername=pel\npassword=czNjcmV0IHBhc3M=\nencoding=utf8\n" +
               (protocol == "ftps" ? "cafile=" + on.CaFile().string() + "\n" : "");
    }

    // plftp on a configuration in the watcher's data folder; no file list: a whole-folder sync.
    ChildProcess Start(const std::string& config, const std::string& fileList = "",
                       const std::string& direction = "put") {
        const fs::path configFile = data / (key + "_" + direction + ".config");
        WriteFileBytes(configFile, config);
        WriteFileBytes(home / "list.txt", fileList);
        return StartProcess(
            L"\"" + ProgramFolder() + L"\\plftp.exe\" -f \"" + configFile.wstring() +
                (fileList.empty() ? L"" : L"\" -filelist \"" + (home / "list.txt").wstring()) +
                L"\" -path \"" + watched.wstring() + L"\"",
            {{L"APPDATA", (home / "AppData").wstring()}});
    }
    // The same, run to its end: the exit status.
    int32_t Run(const std::string& config, const std::string& fileList = "",
                const std::string& direction = "put") {
        ChildProcess tool = Start(config, fileList, direction);
        DWORD code = 0;
        EXPECT_TRUE(WaitForExit(tool, 60000, &code)) << "plftp did not end";
        KillIfRunning(tool);
        return static_cast<int32_t>(code);
    }
    std::string FileOf(const char* suffix) const { return ReadFileBytes(data / (key + suffix)); }

    TempDir home;
    fs::path watched = home / "Watched Folder";
    fs::path remote = home / "remote";
    fs::path data = home / "AppData" / "xq" / "pellaro";
    std::string key;
    std::unique_ptr<FtpServer> server;
};

TEST_P(PlftpTest, EveryCommandFormLeavesTheRemoteTreeItDescribes) {
    const struct {
        const char* change;  // to the watched folder, before the line runs
        const char* line;    // {L}: the watched folder
        const char* tree;    // the remote tree after it
        int32_t status = 0;
    } rows[] = {
        {"+a.txt=one", "-cmd=put|-dir=/|-ldir={L}|-filename=a.txt|", "a.txt=one"},
        // Saved again 1.5 s on at the same size: within two seconds, yet new to a folder's send.
        {"*a.txt=two", "-cmd=put|-dir=/|-ldir={L}|", "a.txt=two"},
        {"a.txt>b.txt", "-cmd=rn|-dir=/|-ldir={L}|-from=a.txt|-to=b.txt|", "b.txt=two"},
        {"+d/x.txt=2;+d/e/y.txt=3", "-cmd=put|-dir=/d/|-ldir={L}d\\|-sync=1|-sub=1|",
         "b.txt=two d/ d/e/ d/e/y.txt=3 d/x.txt=2"},
        // A folder's send stands for renames and deletions merged into it; its subfolders stay.
        {"d/x.txt>d/v.txt;+d/z.txt=4", "-cmd=put|-dir=/d/|-ldir={L}d\\|",
         "b.txt=two d/ d/e/ d/e/y.txt=3 d/v.txt=2 d/z.txt=4"},
        {"+d/e/w.txt=5", "-cmd=put|-dir=/d/|-ldir={L}d\\|-sub=1|",
         "b.txt=two d/ d/e/ d/e/w.txt=5 d/e/y.txt=3 d/v.txt=2 d/z.txt=4"},
        {"d>f", "-cmd=rn|-dir=/|-ldir={L}|-from=d|-to=f|",
         "b.txt=two f/ f/e/ f/e/w.txt=5 f/e/y.txt=3 f/v.txt=2 f/z.txt=4"},
        {"-b.txt", "-cmd=del|-dir=/|-ldir={L}|-filename=b.txt|",
         "f/ f/e/ f/e/w.txt=5 f/e/y.txt=3 f/v.txt=2 f/z.txt=4"},
        {"f/v.txt>h.txt", "-cmd=rn|-dir=|-from=/f/v.txt|-to=/h.txt|",
         "f/ f/e/ f/e/w.txt=5 f/e/y.txt=3 f/z.txt=4 h.txt=2"},
        // A delete and a create of one name merged into a move onto itself: the content goes.
        {"+h.txt=new", "-cmd=rn|-dir=|-from=/h.txt|-to=/h.txt|",
         "f/ f/e/ f/e/w.txt=5 f/e/y.txt=3 f/z.txt=4 h.txt=new"},
        {"-f", "-cmd=del|-dir=/f/|-ldir={L}f\\|-sub=1|", "h.txt=new"},
        // Only the case changes (made anew: this runtime renames no name to its own case).
        {"-h.txt;+H.txt=new", "-cmd=rn|-dir=/|-ldir={L}|-from=h.txt|-to=H.txt|", "H.txt=new"},
        // Saved and renamed back in case: put under the new case, the old name deleted (kept
        // where case does not count).
        {"-H.txt;+h.txt=newer",
         "-cmd=put|-dir=/|-ldir={L}|-filename=h.txt|\n-cmd=del|-dir=/|-ldir={L}|-filename=H.txt|",
         "h.txt=newer"},
        {"", "-cmd=put|-dir=/|-ldir={L}|-filename=gone.txt|", "h.txt=newer"},
        {"", "-cmd=copy|-dir=/|", "h.txt=newer", -1004},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        Change(watched, row.change);
        const std::string line =
            std::regex_replace(row.line, std::regex("\\{L\\}"), watched.string() + "\\");
        EXPECT_EQ(Run("cmd=put\n" + Settings(), line + "\n"), row.status);
        EXPECT_EQ(FolderTree(remote), row.tree);
    }
    // Only the lines that are no command failed; their failures are written in UTF-8 too.
    EXPECT_EQ(Run("cmd=put\n" + Settings(), ToAnsiString(L"-cmd=copy|-dir=/é/|\n")), -1004);
    const std::string errors = FileOf("_plerror.txt");
    EXPECT_NE(errors.find("\t-cmd=copy|-dir=/|\t"), std::string::npos) << errors;
    const std::string e = CurrentAnsiCodePage() == 932 ? "?" : "\xC3\xA9";
    EXPECT_NE(errors.find("\t-cmd=copy|-dir=/" + e + "/|\t"), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
    EXPECT_FALSE(fs::exists(data / (key + "_.plftp.swap")));
}

// Names with blanks (two in a row, leading, in a folder's name) and out of every single-byte code
// page come back from the server's listings whole: nothing of them is sent twice or deleted. What
// another device put on the target stays; what it changed there comes down with a get, and what it
// deleted there goes here too.
TEST_P(PlftpTest, SynchronisationsKeepBothSidesWorkAndTimes) {
    const std::string names =
        "+ lead.txt=3;+two  blanks.txt=2;+my docs/in it.txt=4;+\xE6\x97\xA5 \xE6\x9C\xAC.txt=5";
    Change(watched, "+a.txt=1;+big.bin=123456789;+skip.tmp=x;+d/b.txt=2;+cache/c.txt=3;" + names);
    AgeFiles(watched);
    Change(remote, "+colleague report.txt=9;+team/plan.txt=0;+keep.tmp=k;+huge.bin=987654321");
    const std::string settings = Settings() + "ignore=*.tmp\nignore_dir=cache\nsizelimit=5\n";
    // A full log moves aside before it passes 1 MB.
    WriteFileBytes(data / (key + "_plftp.log"), std::string(1024 * 1024 - 10, 'x'));
    // The first send merges: the target's own files stay. Files over the limit are left out
    // (status 1000) and, like ignored ones, never removed.
    EXPECT_EQ(Run("cmd=put\n" + settings), 1000);
    EXPECT_EQ(FolderTree(remote),
              " lead.txt=3 a.txt=1 colleague report.txt=9 d/ d/b.txt=2 huge.bin=987654321 "
              "keep.tmp=k my docs/ my docs/in it.txt=4 team/ team/plan.txt=0 two  blanks.txt=2 "
              "\xE6\x97\xA5 \xE6\x9C\xAC.txt=5");
    EXPECT_TRUE(fs::exists(data / (key + "_plftp.log.1")));
    EXPECT_LT(fs::file_size(data / (key + "_plftp.log")), 4096u);
    // The log holds every name as it is (UTF-8), whatever the desktop's code page.
    EXPECT_NE(FileOf("_plftp.log").find("\xE6\x97\xA5 \xE6\x9C\xAC.txt\tok\r"), std::string::npos)
        << FileOf("_plftp.log");
    // What a new send sends, by its log: the items put, made or removed.
    const auto send = [&] {
        const std::string log = FileOf("_plftp.log");
        EXPECT_EQ(Run("cmd=put\n" + settings), 1000);
        const std::string added = FileOf("_plftp.log").substr(log.size());
        static const std::regex sent("\t(put|mkdir|delete|rmdir)\t[^\n]*\tok\r");
        return std::pair(std::distance(std::sregex_iterator(added.begin(), added.end(), sent),
                                       std::sregex_iterator()),
                         added);
    };
    // The times came with the files: nothing to send again, and another device's new file stays.
    Change(remote, "+from laptop.txt=L");
    const auto [again, againLog] = send();
    EXPECT_EQ(again, 0) << againLog;
    EXPECT_TRUE(fs::exists(remote / "from laptop.txt"));

    // Another device edits two files (one to an older time), adds one and deletes one.
    Change(remote, "+a.txt=11;+n/new.txt=4;-d/b.txt;+ lead.txt=99");
    fs::last_write_time(remote / " lead.txt",
                        fs::last_write_time(remote / " lead.txt") - std::chrono::hours(1));
    const std::string remoteBefore = FolderTree(remote);
    EXPECT_EQ(Run(settings, "", "get"), 1000);  // the direction from the file name
    EXPECT_EQ(FolderTree(watched),
              " lead.txt=99 a.txt=11 big.bin=123456789 cache/ cache/c.txt=3 colleague report.txt=9 "
              "d/ from laptop.txt=L my docs/ my docs/in it.txt=4 n/ n/new.txt=4 skip.tmp=x "
              "team/ team/plan.txt=0 two  blanks.txt=2 \xE6\x97\xA5 \xE6\x9C\xAC.txt=5");
    EXPECT_EQ(FolderTree(remote), remoteBefore);

    // Times came with the files both ways: a new send sends nothing; a file deleted here goes.
    const auto [sentCount, added] = send();
    EXPECT_EQ(sentCount, 0) << added;
    fs::remove(watched / "colleague report.txt");
    const auto [removed, removedLog] = send();
    EXPECT_EQ(removed, 1) << removedLog;
    EXPECT_FALSE(fs::exists(remote / "colleague report.txt")) << removedLog;

    // Changed on both sides: the target's version keeps the name, this folder's goes beside it,
    // and the error file says so.
    Change(watched, "+a.txt=mine");
    Change(remote, "+a.txt=their");
    EXPECT_EQ(Run("cmd=put\n" + settings), 1002);
    const std::string tree = FolderTree(remote);
    EXPECT_NE(tree.find(" a.txt=their "), std::string::npos) << tree;
    EXPECT_TRUE(std::regex_search(
        tree, std::regex(" a \\(conflict, [^,]+, [-0-9]+ [.0-9]+\\)\\.txt=mine ")))
        << tree;
    EXPECT_NE(FileOf("_plerror.txt").find("conflict: "), std::string::npos);
}

// A name renamed in case past A to Z (über.txt was Über.txt, Ärger was ärger): a folder target,
// where case does not count, takes the new case and keeps the file; an FTP server, where it does,
// gets the new names and loses the old. A walk that took Ü and ü for two names of one file sent
// it and then removed the old name: the file, with the folder.
TEST_P(PlftpTest, NamesRenamedInCasePastAToZKeepTheirFiles) {
    Change(watched,
           "+\xC3\x9C"
           "ber.txt=1;+\xC3\xA4rger/x.txt=1");
    EXPECT_EQ(Run("cmd=put\n" + Settings()), 0) << FileOf("_plerror.txt");
    Change(watched,
           "-\xC3\x9C"
           "ber.txt;-\xC3\xA4rger;+\xC3\xBC"
           "ber.txt=22;+\xC3\x84rger/x.txt=1");
    EXPECT_EQ(Run("cmd=put\n" + Settings()), 0) << FileOf("_plerror.txt");
    EXPECT_EQ(FolderTree(remote),
              "\xC3\x84rger/ \xC3\x84rger/x.txt=1 \xC3\xBC"
              "ber.txt=22");
}

// A UTF-8 name reaches the server byte for byte, whatever the ANSI code page would make of it (this
// one changes on code page 932), and comes back the same.
TEST_P(PlftpTest, UtfNamesReachTheServerAsTheyAre) {
    if (GetParam() == Target::kFolder) GTEST_SKIP() << "an FTP target only";
    const std::string name = "\xE6\x97\xA5 \xE8\xAA\x9E.txt";
    Change(watched, "+" + name + "=5");
    EXPECT_EQ(Run("cmd=put\n" + Settings()), 0) << FileOf("_plerror.txt");
    EXPECT_EQ(FolderTree(remote), name + "=5");
    // Into a folder that never synced with it (the record goes with the file).
    fs::remove(watched / fs::path(std::u8string(name.begin(), name.end())));
    for (const auto& file : fs::directory_iterator(data)) {
        if (file.path().string().find(".record") != std::string::npos) fs::remove(file.path());
    }
    EXPECT_EQ(Run(Settings(), "", "get"), 0) << FileOf("_plerror.txt");
    EXPECT_EQ(FolderTree(watched), name + "=5");
}

// What only a real target shows: a download the server cuts, a source file another program holds.
TEST_P(PlftpTest, RealTargetsNeverLoseTheOldFile) {
    if (GetParam() != Target::kFolder) {
        const std::string cut(300 * 1024, 'c');
        Change(watched, "+cut.bin=old");
        EXPECT_EQ(Run("cmd=put\n" + Settings()), 0) << FileOf("_plerror.txt");
        Change(remote, "+cut.bin=" + cut);
        EXPECT_EQ(Run(Settings(), "", "get"), -1018) << FileOf("_plerror.txt");
        EXPECT_EQ(FolderTree(watched), "cut.bin=old");
        EXPECT_TRUE(FolderTree(remote) == "cut.bin=" + cut) << "the served file changed";
        fs::remove(watched / "cut.bin");
        fs::remove(remote / "cut.bin");
    }
    Change(watched, "+a.txt=new!");
    Change(remote, "+a.txt=old;+extra.txt=e");
    HeldFile held(watched / "a.txt", false, 60000);
    ASSERT_TRUE(held.Held());
    EXPECT_EQ(Run(Settings()), -1018) << FileOf("_plerror.txt");
    EXPECT_EQ(FolderTree(remote), "a.txt=old extra.txt=e");
}

// Files only, "path=content", sorted.
std::map<std::string, std::string> Files(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) {
            const std::u8string path = fs::relative(item.path(), root).generic_u8string();
            files[std::string(path.begin(), path.end())] = ReadFileBytes(item.path());
        }
    }
    return files;
}

// A file list with a put line for every file below `root` (the watched folder).
std::string PutLines(const fs::path& root) {
    std::string list;
    for (const auto& [name, content] : Files(root)) {
        const fs::path relative(name), folder = relative.parent_path();
        list += "-cmd=put|-dir=/" + folder.generic_string() +
                "|-ldir=" + (folder.empty() ? root : root / folder).string() +
                "\\|-filename=" + relative.filename().string() + "|\n";
    }
    return list;
}

// plftp killed at a random moment of whole-folder puts (every other run a batch of puts), while the
// folder and another device change both sides between runs: its record is always whole (or not
// there), and the next run leaves the target holding exactly the folder plus what the other device
// made. The seed and the number of kills come from PLFTP_KILL_SEED and PLFTP_KILLS
// (scripts/plftp-kills.sh).
TEST_P(PlftpTest, KillsLeaveAWholeRecordAndTheNextRunConverges) {
    const char* seedText = std::getenv("PLFTP_KILL_SEED");
    const char* killsText = std::getenv("PLFTP_KILLS");
    const uint32_t seed = seedText && *seedText ? std::strtoul(seedText, nullptr, 10) : 20261210;
    const int kills = killsText && *killsText ? std::atoi(killsText) : 6;
    std::mt19937 random(seed);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    std::map<std::string, std::string> theirs;
    int ended = 0, midRun = 0;  // ended before the kill; killed with a journal begun
    for (int kill = 0; kill < kills; ++kill) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", kill " << kill);
        // The folder changes: files made, rewritten and deleted in three folders.
        for (int change = 0; change < 80; ++change) {
            static const char* const kFolders[] = {"", "d1/", "d2/e/"};
            const std::string name =
                std::string(kFolders[pick(3)]) + "f" + std::to_string(pick(30));
            if (pick(4) == 0) {
                fs::remove(watched / name);
            } else {
                Change(watched, "+" + name + "=" + std::string(1 + pick(40000), "xyz"[pick(3)]));
            }
        }
        // Another device adds a file now and then.
        if (pick(2) == 0) {
            const std::string name = "other" + std::to_string(kill) + ".txt";
            Change(remote, "+" + name + "=theirs");
            theirs[name] = "theirs";
        }
        ChildProcess run = Start("cmd=put\n" + Settings(), kill % 2 ? PutLines(watched) : "");
        DWORD code = 0;
        if (WaitForExit(run, static_cast<DWORD>(pick(120)), &code)) ++ended;
        KillIfRunning(run);
        WaitForExit(run, 10000, nullptr);
        // Whole or absent: its first line, and a last line that counts the lines between.
        for (const auto& file : fs::directory_iterator(data)) {
            if (file.path().extension() == ".log" && file.path().stem().extension() == ".record") {
                ++midRun;
            }
            if (file.path().extension() != ".record") continue;
            const std::string text = ReadFileBytes(file.path());
            const std::size_t last = text.rfind("\nend ", text.size() - 1);
            ASSERT_TRUE(text.starts_with("plftp record 1\n") && last != std::string::npos &&
                        text.back() == '\n')
                << text.substr(0, 200);
            const long lines = std::count(text.begin(), text.end(), '\n');
            EXPECT_EQ(std::to_string(lines - 3), text.substr(last + 5, text.size() - last - 6));
        }
        ASSERT_EQ(Run("cmd=put\n" + Settings()), 0) << FileOf("_plerror.txt");
        std::map<std::string, std::string> expected = Files(watched);
        expected.insert(theirs.begin(), theirs.end());
        ASSERT_EQ(Files(remote), expected) << FileOf("_plerror.txt");
    }
    std::printf(
        "plftp kills: %d from seed %u, %d with the run's journal begun, %d runs ended first\n",
        kills, seed, midRun, ended);
}

// A target that reaches the watched folder by another name (a link, a short name, another case) is
// refused before anything is written; one whose name only begins like it is not.
TEST_P(PlftpTest, TargetsReachingTheWatchedFolderAreRefused) {
    if (GetParam() != Target::kFolder) GTEST_SKIP() << "a local folder target only";
    Change(watched, "+a.txt=1;+sub/b.txt=2");
    fs::create_directories(home / "Watched Folder2");
    // A junction where Windows makes one; Wine makes none but follows a Unix symbolic link.
    std::vector<std::string> unixLinks;
    auto link = [&](const std::string& name, const std::string& to) {
        const fs::path at = home / name;
        const std::wstring junction =
            L"cmd /c mklink /J \"" + at.wstring() + L"\" \"" + (home / to).wstring() + L"\"";
        const std::wstring symlink = L"Z:\\bin\\ln -s \"" + fs::path(to).wstring() + L"\" \"" +
                                     fs::path(name).wstring() + L"\"";
        for (const std::wstring& command : {junction, symlink}) {
            ChildProcess maker = StartProcess(command, {}, home.Path().wstring());
            EXPECT_TRUE(!maker || WaitForExit(maker, 30000, nullptr)) << "no end of making a link";
            KillIfRunning(maker);
            // Wine gives no handle of a Unix program to wait on.
            if (WaitUntil([&] { return fs::exists(at); }, maker ? 0 : 10000)) {
                if (command == symlink) unixLinks.push_back(name);
                break;
            }
        }
        EXPECT_TRUE(fs::exists(at)) << "no link made at " << at.string();
        return at.string();
    };
    wchar_t shortName[MAX_PATH] = L"";
    GetShortPathNameW(watched.c_str(), shortName, MAX_PATH);
    CharUpperW(shortName);
    const struct {
        std::string root, dir;
        int32_t status;
    } rows[] = {
        {link("to watched", "Watched Folder"), "", -1005},
        {link("to sub", "Watched Folder/sub"), "/not/there", -1005},  // not made yet
        {fs::path(shortName).string(), "", -1005},
        {(home / "Watched Folder2").string(), "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.root + row.dir);
        fs::remove(data / (key + "_plerror.txt"));
        EXPECT_EQ(Run("cmd=put\nprotocol=file\nroot=" + row.root + "\ndir=" + row.dir + "\n",
                      "-cmd=put|-dir=" + row.dir + "/|-ldir=" + watched.string() +
                          "\\|-filename=a.txt|\n"),
                  row.status);
        EXPECT_EQ(FolderTree(watched), "a.txt=1 sub/ sub/b.txt=2");
        const std::string errors = FileOf("_plerror.txt");
        EXPECT_EQ(errors.find(" overlap\r\n") != std::string::npos, row.status != 0) << errors;
    }
    EXPECT_EQ(FolderTree(home / "Watched Folder2"), "a.txt=1");
    // Wine removes a Unix link only as what it points to.
    for (const std::string& name : unixLinks) {
        ChildProcess remover = StartProcess(L"Z:\\bin\\rm \"" + fs::path(name).wstring() + L"\"",
                                            {}, home.Path().wstring());
        EXPECT_TRUE(WaitUntil([&] { return !fs::exists(home / name); }, 10000)) << name;
    }
}

// The swap file marks a download under way and keeps a second run of the folder out.
class PlftpFailureTest : public PlftpTest {};

TEST_P(PlftpFailureTest, EachCauseHasItsStatusAndItsErrorLines) {
    const std::string list = "-cmd=put|-dir=/|-ldir=" + watched.string() +
                             "\\|-filename=a.txt|\n"
                             "-cmd=del|-dir=/|-filename=b.txt|\n";
    Change(watched, "+a.txt=1");
    DWORD code = 0;
    EXPECT_EQ(Run(std::regex_replace(Settings(), std::regex("czNj.*="), "d3Jvbmc="), list), 3);

    // The server holds the download until the second run has been refused.
    Change(remote, "+held.bin=" + std::string(300 * 1024, 'b'));
    ChildProcess download = Start("cmd=get\n" + Settings(), "", "get");
    const fs::path swap = data / (key + "_.plftp.swap");
    const bool swapWritten = WaitUntil([&] { return !ReadFileBytes(swap).empty(); }, 60000);
    EXPECT_EQ(ReadFileBytes(swap), "plftp " + std::to_string(download.id) + " get\r\n");
    if (swapWritten) {
        EXPECT_EQ(Run("cmd=put\n" + Settings()), -1027);
    }
    server->Release();
    EXPECT_TRUE(WaitForExit(download, 60000, &code) && code == 0);
    EXPECT_EQ(ReadFileBytes(watched / "held.bin").size(), 300u * 1024);
    EXPECT_FALSE(fs::exists(swap));

    // The server gone: every item of the list fails with -1010, one line each.
    server->Stop();
    fs::remove(data / (key + "_plerror.txt"));
    EXPECT_EQ(Run(Settings(), list), -1010);
    const std::string errors = FileOf("_plerror.txt");
    EXPECT_NE(errors.find("\t-cmd=del|-dir=/|-filename=b.txt|\t"), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2);
    EXPECT_FALSE(fs::exists(swap));
}

// A refused upload fails alone: sent without waiting for the server's word, a small file and the
// first part of a big one leave the replies in step, and the next file still arrives.
TEST_P(PlftpFailureTest, RefusedUploadsFailAloneAndTheRunGoesOn) {
    Change(watched, "+refused-small.txt=1;+a.txt=2");
    WriteFileBytes(watched / "refused-big.bin", std::string(300 * 1024, 'b'));
    std::string list;
    for (const char* name : {"refused-small.txt", "refused-big.bin", "a.txt"}) {
        list += "-cmd=put|-dir=/|-ldir=" + watched.string() + "\\|-filename=" + name + "|\n";
    }
    EXPECT_EQ(Run(Settings(), list), -1016);   // a write error
    EXPECT_EQ(FolderTree(remote), "a.txt=2");  // no part file left either
    const std::string errors = FileOf("_plerror.txt");
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
    for (const char* name : {"refused-small.txt", "refused-big.bin"}) {
        const std::size_t line = errors.find(std::string("-filename=") + name + "|");
        ASSERT_NE(line, std::string::npos) << errors;
        EXPECT_NE(errors.find("550 Refused by the test.", line), std::string::npos) << errors;
    }
}

// Files in flight on several connections keep the rules of one: a login refused beyond the
// server's limit leaves its share to the others; a cut, a refusal and a connection the server ends
// fail their own items with the statuses of one connection, leave nothing cut in place, and the
// next run converges.
TEST_P(PlftpFailureTest, SeveralConnectionsKeepTheRulesOfOne) {
    std::string steps;
    for (int i = 0; i < 12; ++i) {
        steps +=
            "+d" + std::to_string(i % 3) + "/f" + std::to_string(i) + "=" + std::to_string(i) + ";";
    }
    Change(watched, steps);
    const struct {
        const char* name;  // a file besides the twelve, "" for none
        unsigned most;     // connections the server takes at once, 0: any number
        int32_t status;
    } rows[] = {
        {"", 2, 0},
        {"cut-a.bin", 0, -1016},
        {"refused-a.bin", 0, -1016},
        {"drop-a.bin", 0, -1010},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (*row.name) WriteFileBytes(watched / "d1" / row.name, std::string(300 * 1024, 'c'));
        server->LimitConnections(row.most);
        fs::remove(data / (key + "_plerror.txt"));
        EXPECT_EQ(Run("connections=3\n" + Settings(), PutLines(watched)), row.status);
        const std::string errors = FileOf("_plerror.txt");
        if (*row.name) {
            EXPECT_FALSE(fs::exists(remote / "d1" / row.name));
            EXPECT_NE(errors.find(std::string("-filename=") + row.name), std::string::npos)
                << errors;
            fs::remove(watched / "d1" / row.name);
        }
        if (row.status != -1010) {
            EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), row.status ? 1 : 0) << errors;
        }
        EXPECT_EQ(Run("cmd=put\n" + Settings()), 0) << FileOf("_plerror.txt");
        EXPECT_EQ(FolderTree(remote), FolderTree(watched));
    }
    // A file's time goes with its rename, never after it: a listing later in the batch records
    // the time the next run finds, and that run sends what changed here since, with no conflict.
    EXPECT_EQ(Run("connections=3\n" + Settings(),
                  PutLines(watched) + "-cmd=put|-dir=/|-ldir=" + watched.string() + "\\|-sub=1|\n"),
              0);
    for (const auto& [name, content] : Files(watched))
        Change(watched, "*" + name + "=" + content + "+");
    EXPECT_EQ(Run("cmd=put\n" + Settings()), 0) << FileOf("_plerror.txt");
}

// FTPS: who the server is and whether it encrypts are settled before the user's name goes out,
// and a cut anywhere on the encrypted path leaves nothing cut in place.
class PlftpTlsTest : public PlftpTest {
protected:
    // A put of a.txt to a server of its own: the status, with that server's commands and the
    // error file's text.
    int32_t PutTo(FtpSecurity security, const std::string& extra, std::string& commands) {
        const fs::path served = home / ("served" + std::to_string(++servers));
        fs::create_directories(served);
        FtpServer other(served, "pel", "s3cret pass", true, security);
        if (!other.Running()) return 1;
        fs::remove(data / (key + "_plerror.txt"));
        const std::string settings = ServerSettings(other, "ftps") + extra;
        const int32_t status = Run("cmd=put\n" + settings);
        other.Stop();
        commands = other.Commands() + "|" + FileOf("_plerror.txt");
        fingerprint = other.Fingerprint();
        return status;
    }
    int servers = 0;
    std::string fingerprint;
};

TEST_P(PlftpTlsTest, NoPasswordGoesToAServerThatFailsItsCheckOrWillNotEncrypt) {
    Change(watched, "+a.txt=1");
    const struct {
        FtpSecurity security;
        std::string extra, says;
        int32_t status;
    } rows[] = {
        {FtpSecurity::kOtherCa, "", "is not signed by the authority of cafile=", -1029},
        {FtpSecurity::kWrongName, "", "is made out for another name", -1029},
        {FtpSecurity::kExpired, "", "has expired", -1029},
        {FtpSecurity::kTls, "fingerprint=00" + std::string(62, '0') + "\n",
         "is not the one fingerprint= names", -1029},
        {FtpSecurity::kPlain, "", "does not encrypt (AUTH TLS", -1030},
        {FtpSecurity::kNoProt, "", "does not encrypt transfers (PROT P", -1030},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.says);
        std::string seen;
        EXPECT_EQ(PutTo(row.security, row.extra, seen), row.status);
        EXPECT_NE(seen.find(row.says), std::string::npos) << seen;
        EXPECT_EQ(seen.find("USER"), std::string::npos) << seen;
        EXPECT_EQ(seen.find("PASS"), std::string::npos) << seen;
        if (row.status == -1029) {
            EXPECT_NE(seen.find("fingerprint is " + fingerprint), std::string::npos) << seen;
        }
    }
    // A server with a certificate of its own is trusted by its fingerprint, in any spelling.
    std::string seen;
    EXPECT_EQ(PutTo(FtpSecurity::kOtherCa, "fingerprint=12:34\n", seen), -1005) << seen;
    const fs::path served = home / "pinned";
    fs::create_directories(served);
    FtpServer pinned(served, "pel", "s3cret pass", true, FtpSecurity::kOtherCa);
    std::string pin = pinned.Fingerprint();
    std::transform(pin.begin(), pin.end(), pin.begin(), [](char c) { return c == ':' ? ' ' : c; });
    EXPECT_EQ(
        Run("cmd=put\n" + ServerSettings(pinned, "ftps") + "fingerprint=" + pin + "\ncafile=\n"), 0)
        << FileOf("_plerror.txt");
    EXPECT_EQ(FolderTree(served), "a.txt=1");
}

TEST_P(PlftpTlsTest, CutsOnTheEncryptedPathLeaveNothingCutInPlace) {
    const std::string big(300 * 1024, 'b');
    Change(watched, "+a.txt=1");
    WriteFileBytes(watched / "cut-up.bin", big);
    Change(remote, "+keep.txt=k");
    WriteFileBytes(remote / "cut-down.bin", big);
    const std::string put = "-cmd=put|-dir=/|-ldir=" + watched.string() + "\\|-filename=";
    // The control connection's handshake and a data connection's (the server then drops the
    // session), an upload and a download.
    server->CutNextHandshake(false);
    EXPECT_EQ(Run(Settings(), put + "a.txt|\n"), -1010);
    server->CutNextHandshake(true);
    EXPECT_EQ(Run(Settings(), put + "a.txt|\n"), -1010);
    EXPECT_EQ(Run(Settings(), put + "cut-up.bin|\n"), -1016);
    EXPECT_TRUE(FolderTree(remote) == "cut-down.bin=" + big + " keep.txt=k");
    EXPECT_EQ(Run("cmd=get\n" + Settings(), "", "get"), -1018);
    EXPECT_TRUE(FolderTree(watched) == "a.txt=1 cut-up.bin=" + big + " keep.txt=k");
    // Uncut, the same items arrive.
    EXPECT_EQ(Run(Settings(), put + "a.txt|\n"), 0);
    EXPECT_EQ(ReadFileBytes(remote / "a.txt"), "1");
}

// A tree as users have them over FTPS: a file past one TLS record and past a chunk, an empty one,
// names outside ASCII, and a colleague's folder of 2,000 names, whose listing spans many records.
TEST_P(PlftpTlsTest, ALargeTreeMirrorsAndASecondRunSendsNothing) {
    Change(watched, "+empty.txt=;+\xC3\xBC\xC3\xA4/\xE6\x97\xA5\xE6\x9C\xAC.txt=ja");
    std::string many;
    for (int i = 0; i < 2000; ++i)
        many += "+many/n" + std::to_string(i) + ".txt=" + std::to_string(i) + ";";
    Change(remote, many);
    const std::string colleagues = FolderTree(remote);
    fs::create_directories(home / "many");
    std::string large(1024 * 1024 + 17, 'x');
    for (std::size_t i = 0; i < large.size(); i += 7) large[i] = static_cast<char>(i % 251);
    WriteFileBytes(watched / "large.bin", large);
    AgeFiles(watched);
    EXPECT_EQ(Run("cmd=put\n" + Settings()), 0) << FileOf("_plerror.txt");
    const std::string log = FileOf("_plftp.log");
    EXPECT_EQ(Run("cmd=put\n" + Settings()), 0);
    const std::string added = FileOf("_plftp.log").substr(log.size());
    EXPECT_FALSE(std::regex_search(added, std::regex("\t(put|mkdir|delete|rmdir)\t[^\n]*\tok\r")))
        << added;
    const fs::path theirs = home / "many";
    fs::rename(remote / "many", theirs / "many");
    EXPECT_TRUE(FolderTree(remote) == FolderTree(watched));  // not printed: a megabyte
    EXPECT_TRUE(FolderTree(theirs) == colleagues);
}

INSTANTIATE_TEST_SUITE_P(Targets, PlftpTest,
                         testing::Values(Target::kFolder, Target::kFtp, Target::kFtpList,
                                         Target::kFtps),
                         [](const auto& info) {
                             return info.param == Target::kFtp       ? "Ftp"
                                    : info.param == Target::kFtpList ? "FtpList"
                                    : info.param == Target::kFtps    ? "Ftps"
                                                                     : "Folder";
                         });

INSTANTIATE_TEST_SUITE_P(Ftps, PlftpTlsTest, testing::Values(Target::kFtps));

INSTANTIATE_TEST_SUITE_P(Ftp, PlftpFailureTest, testing::Values(Target::kFtp, Target::kFtps),
                         [](const auto& info) {
                             return info.param == Target::kFtps ? "Ftps" : "Ftp";
                         });

}  // namespace
