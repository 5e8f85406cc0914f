// Catches: a notification let through a filter or stopped by one wrongly, a wrong command form or
// field parse, repeats not dropped, counts off, a double-byte name cut in two.
#include "watch/change_event_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text_conversion.h"
#include "notify/message_catalogue.h"
#include "support/box_recorder.h"
#include "support/buffer_fixture.h"
#include "sync/command_buffer.h"
#include "sync/transfer_runs.h"
#include "watch/path_helpers.h"
#include "sync/transfer_command.h"

namespace {

std::string Fields(const TransferCommand& c) {
    std::string out;
    for (const std::string_view field : {c.cmd.Str(), c.dir.Str(), c.ldir.Str(), c.filename.Str(),
                                         c.from.Str(), c.to.Str(), c.sync.Str(), c.sub.Str()}) {
        out.append(field) += ",";
    }
    return out;
}

TEST(CommandText, ParsesFieldsByName) {
    const std::pair<std::string, std::string> cases[] = {
        // Fields "cmd,dir,ldir,filename,from,to,sync,sub,"; a later value wins, junk is ignored.
        {"||-cmd=del|-dir=/a/|-dir=/b/|-x=1|junk||-filename=a=b.txt", "del,/b/,,a=b.txt,,,,,"},
        {"-cmd=abcdefghijklmnopq|-sync=12|-sub=1x|", "abcdefghijklmno,,,,,,1,1,"},
        {"-cmd=put|-filename=" + std::string(600, 'f') + "|-dir=/late/|",
         "put,,," + std::string(511 - 19, 'f') + ",,,,,"},
    };
    for (const auto& [line, fields] : cases) {
        EXPECT_EQ(Fields(ParseCommand(line)), fields) << line.substr(0, 60);
    }
}

constexpr int32_t kAttributes = 0x800;

const std::set<std::wstring> kFolders = {LR"(C:\W\)", LR"(C:\W\sub\)", LR"(C:\W\sub\new\)",
                                         LR"(C:\W\b\sub\)", LR"(C:\W\sub\Old\)"};

int uploads = 0;
bool networkUp = true, downloading = false;
bool lockHeldInFolderTest = false, lockHeldAtBox = false;

bool FakeFolderTest(const wchar_t* path) {
    lockHeldInFolderTest = HeldElsewhere();
    return kFolders.contains(path);
}

// Last write times in calendar seconds; an item not named here does not exist.
std::map<std::wstring, int64_t> writeTimes;

int64_t FakeWriteTime(const wchar_t* path) {
    const auto found = writeTimes.find(path);
    return found == writeTimes.end() ? -1 : found->second;
}

constexpr int32_t kLostChanges = -1;  // the feed lost changes: HandleLostChanges
constexpr int32_t kFiring = -2;       // a batch takes the pending commands, and the tool runs

struct Step {
    int32_t event;
    std::wstring first;
    std::wstring second = L"";
};

struct Scenario {
    const char* name;
    std::function<void(WatcherState&)> setup;
    std::vector<Step> steps;
    std::vector<std::string> commands;
    int32_t counted;  // pendingEvents and commandCount
    int uploads = 0;
    std::vector<int32_t> boxes = {};
};

class ChangeEventHandlerTest : public BufferTest {
protected:
    void SetUp() override {
        BufferTest::SetUp();
        CurrentChangeHandlerCalls() = {FakeFolderTest, [] { return networkUp; },
                                       [] { return downloading; }, [] { return ++uploads > 0; },
                                       FakeWriteTime};
        boxes.PassTo([](const std::wstring&, const std::wstring&, uint32_t) {
            lockHeldAtBox |= HeldElsewhere();
            return -1;
        });
        WriteFileBytes(folder / "cnwfolder.txt", "C:\\W=0\n\\\\srv\\share\\W=0\n");
    }
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        BufferTest::TearDown();
    }
    void Fresh(const std::function<void(WatcherState&)>& setup) {
        uploads = 0;
        networkUp = true;
        downloading = false;
        boxes.Clear();
        std::filesystem::remove(eventList);
        WatcherState& s = State();
        s.Reset();
        s.dataDir.Assign(folder.Ansi());
        s.eventListPath.Assign(eventList);
        s.watchedPath.Assign("C:\\W");
        s.remoteDir.Assign("/home/u");
        s.remoteDirSet = s.subFolders = s.thresholdSync = 1;
        CreateCommandBuffer(s.commands);
        if (setup) setup(s);
    }
    unsigned originalCodePage = CurrentAnsiCodePage();
};

TEST_F(ChangeEventHandlerTest, NotificationsBecomeTheirCommandsAfterTheFilters) {
    // clang-format off
    const auto immediate = [](WatcherState& s) { s.thresholdSync = 0; s.verbose = 1; };
    const auto smb = [](WatcherState& s) { s.smbMode = 1; s.remoteDir.Assign("\\\\nas\\u"); };
    const Scenario scenarios[] = {
        // The forms the end-to-end runs do not show.
        // The recursive delete names the deleted folder: cut to its parent, it had the tool
        // remove the parent with every sibling.
        {"smb: a deleted folder is named itself, a renamed one by its parent", smb,
         {{kEventRmDir, LR"(C:\W\sub\old\)"}, {kEventRenameFolder, LR"(C:\W\sub\a\)", LR"(C:\W\sub\new\)"}},
         {R"(-cmd=del|-dir=\\nas\u\sub\old\|-ldir=C:\W\sub\old\|-sub=1|)",
          R"(-cmd=rn|-dir=\\nas\u\sub\|-ldir=C:\W\sub|-from=\a\|-to=\new\|)"}, 2},
        // Its stand-in starts from the folder's parent, not from a parent cut once more.
        {"smb: an over-long deletion's stand-in sends the deleted folder's parent", smb,
         {{kEventRmDir, L"C:\\W\\" + std::wstring(200, L'a') + L"\\" + std::wstring(200, L'b') + L"\\"}},
         {"-cmd=put|-dir=\\\\nas\\u\\" + std::string(200, 'a') + "\\|-ldir=C:\\W\\" + std::string(200, 'a') + "\\|-sync=1|-sub=1|"}, 1},
        // Items in two folders: a move. As a rename in the old folder the remote side kept the
        // file there and the new folder never got it; a new file's put was skipped as gone.
        {"moves between folders", {},
         {{kEventRenameItem, LR"(C:\W\a\x.txt\)", LR"(C:\W\b\x.txt\)"},
          {kEventCreate, LR"(C:\W\a\n.txt\)"}, {kEventRenameItem, LR"(C:\W\a\n.txt\)", LR"(C:\W\n.txt\)"},
          {kEventRenameFolder, LR"(C:\W\sub\)", LR"(C:\W\b\sub\)"}},
         {"-cmd=rn|-dir=|-from=/home/u/a/x.txt|-to=/home/u/b/x.txt|",
          "-cmd=rn|-dir=|-from=/home/u/a/n.txt|-to=/home/u/n.txt|",
          "-cmd=rn|-dir=|-from=/home/u/sub/|-to=/home/u/b/sub/|"}, 4},
        // Moved and deleted before the rename was handled: no folder on disk any more; the
        // event, not the disk, says it is a folder's move.
        {"a folder moved, then deleted at once", {},
         {{kEventRenameFolder, LR"(C:\W\d8\gone\)", LR"(C:\W\gone\)"}, {kEventRmDir, LR"(C:\W\gone\)"}},
         {"-cmd=rn|-dir=|-from=/home/u/d8/gone/|-to=/home/u/gone/|", R"(-cmd=del|-dir=/home/u/gone/|-ldir=C:\W\gone\|-sub=1|)"}, 2},
        // Moved out: gone from the folder; moved in: new in it.
        {"moves out of and into the watched folder", {},
         {{kEventRenameItem, LR"(C:\W\a.txt\)", LR"(C:\Other\a.txt\)"}, {kEventRenameItem, LR"(C:\Other\b.txt\)", LR"(c:\w\sub\b.txt\)"},
          {kEventRenameFolder, LR"(C:\W\sub\new\)", LR"(D:\new\)"}},
         {R"(-cmd=del|-dir=/home/u/|-ldir=C:\W\|-filename=a.txt|)", R"(-cmd=put|-dir=/home/u/sub/|-ldir=c:\w\sub\|-filename=b.txt|)",
          R"(-cmd=del|-dir=/home/u/sub/new/|-ldir=C:\W\sub\new\|-sub=1|)"}, 3},
        // Case only: renames in place, back and forth, none taken for a repeat.
        {"case-only renames", {},
         {{kEventRenameItem, LR"(C:\W\a.txt\)", LR"(C:\W\A.txt\)"}, {kEventRenameItem, LR"(C:\W\A.txt\)", LR"(C:\W\a.txt\)"},
          {kEventRenameItem, LR"(C:\W\a.txt\)", LR"(C:\W\A.txt\)"}, {kEventRenameFolder, LR"(C:\W\sub\old\)", LR"(C:\W\sub\Old\)"}},
         {R"(-cmd=rn|-dir=/home/u/|-ldir=C:\W\|-from=a.txt|-to=A.txt|)", R"(-cmd=rn|-dir=/home/u/|-ldir=C:\W\|-from=A.txt|-to=a.txt|)",
          R"(-cmd=rn|-dir=/home/u/|-ldir=C:\W\|-from=a.txt|-to=A.txt|)", R"(-cmd=rn|-dir=/home/u/sub/|-ldir=C:\W\sub\Old\|-from=old|-to=Old|)"}, 4},
        // Longer than a working copy, or a command over 511 bytes: the deepest folder that fits stands in.
        {"paths over 511 code units, commands over 511 bytes", {},
         {{kEventCreate, L"C:\\W\\" + std::wstring(100, L'p') + L"\\" + std::wstring(450, L'q') + L"\\x.txt\\"},
          {kEventCreate, LR"(C:\W\)" + std::wstring(200, L'd') + L"\\" + std::wstring(60, L'n') + L".txt\\"}},
         {"-cmd=put|-dir=/home/u/" + std::string(100, 'p') + "/|-ldir=C:\\W\\" + std::string(100, 'p') + "\\|-sync=1|-sub=1|",
          "-cmd=put|-dir=/home/u/" + std::string(200, 'd') + "/|-ldir=C:\\W\\" + std::string(200, 'd') + "\\|-sync=1|-sub=1|"}, 2},
        // Network only as the first component; a doubled backslash made single outside UNC paths.
        {"paths", {},
         {{kEventCreate, LR"(Network\srv\share\W\a.txt\)"}, {kEventCreate, L"ネットワーク\\srv\\share\\W\\c.txt\\"},
          {kEventCreate, LR"(\\srv\share\W\Network\a.txt\)"}, {kEventCreate, LR"(C:\W\\b.txt\)"}},
         {R"(-cmd=put|-dir=/home/u/|-ldir=\\srv\share\W\|-filename=a.txt|)",
          R"(-cmd=put|-dir=/home/u/|-ldir=\\srv\share\W\|-filename=c.txt|)",
          R"(-cmd=put|-dir=/home/u/Network/|-ldir=\\srv\share\W\Network\|-filename=a.txt|)",
          R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-filename=b.txt|)"}, 4},
        {"top level only", [](WatcherState& s) { s.subFolders = 0; },
         {{kEventUpdateDir, LR"(C:\W\)"}, {kEventCreate, LR"(C:\W\sub\a.txt\)"}, {kEventMkDir, LR"(C:\W\sub\)"}, {kEventDelete, LR"(C:\W\a.txt\)"}},
         {R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|)", R"(-cmd=del|-dir=/home/u/|-ldir=C:\W\|-filename=a.txt|)"}, 2},
        {"top level only, names the code page cannot hold", [](WatcherState& s) { s.subFolders = 0; },
         {{kEventMkDir, L"C:\\W\\한\\"}, {kEventCreate, L"C:\\W\\sub\\한.txt\\"}, {kAttributes, L"C:\\W\\한.txt\\"}}, {}, 1},
        // The repeat is dropped and the recent paths forgotten, so the parent's update passes.
        {"repeat dropped", {}, {{kEventCreate, LR"(C:\W\a.txt\)"}, {kEventCreate, LR"(C:\W\a.txt\)"}, {kEventUpdateDir, LR"(C:\W\)"}},
         {R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-filename=a.txt|)", R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-sub=1|)"}, 2},
        {"parent update, network", [](WatcherState& s) { s.networkFolder = 1; }, {{kEventCreate, LR"(C:\W\sub\a.txt\)"}, {kEventUpdateDir, LR"(C:\W\sub\)"}},
         {R"(-cmd=put|-dir=/home/u/sub/|-ldir=C:\W\sub\|-filename=a.txt|)", R"(-cmd=put|-dir=/home/u/sub/|-ldir=C:\W\sub\|-sub=1|)"}, 2},
        {"attributes", {}, {{kAttributes, LR"(C:\W\a.txt\)"}}, {}, 1},
        {"deletions while downloading", [](WatcherState&) { downloading = true; },
         {{kEventUpdateItem, LR"(C:\W\a.txt\)"}, {kEventDelete, LR"(C:\W\b.txt\)"}, {kEventDelete, L"C:\\W\\" + std::wstring(250, L'd') + L"\\" + std::wstring(250, L'e') + L"\\x.txt\\"},
          {kEventCreate, LR"(C:\W\sub\c.txt\)"}, {kEventDelete, LR"(C:\W\b.txt\)"}},
         {R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-filename=a.txt|)", R"(-cmd=put|-dir=/home/u/sub/|-ldir=C:\W\sub\|-filename=c.txt|)",
          R"(-cmd=del|-dir=/home/u/|-ldir=C:\W\|-filename=b.txt|)"}, 3},
        {"client folder", {}, {{kEventCreate, LR"(C:\W\(!plkSep!)pellaro(!plkSep!)\a.txt\)"},
          {kEventCreate, LR"(C:\W\(!plkSep!)pellaro(!plkSep!)\)" + std::wstring(250, L'd') + L"\\" + std::wstring(250, L'e') + L"\\x.txt\\"}}, {}, 0},
        {"no item", {}, {{kEventCreate, L""}, {kEventRenameItem, LR"(C:\W\a.txt\)"}}, {}, 0},
        // A name the code page cannot hold cannot stand in a command: the deepest folder above it
        // whose path it holds stands in. Skipped, the change never arrived and a rename left the
        // old name on the remote side. Two in a row are no repeat: their entries are empty.
        {"names the code page cannot hold", {},
         {{kEventCreate, L"C:\\W\\sub\\한글.txt\\"}, {kEventMkDir, L"C:\\W\\한\\"}, {kEventDelete, L"C:\\W\\d\\한\\x.txt\\"},
          {kEventRenameItem, L"C:\\W\\한.txt\\", L"C:\\W\\b.txt\\"}},
         {R"(-cmd=put|-dir=/home/u/sub/|-ldir=C:\W\sub\|-sync=1|-sub=1|)", R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-sync=1|-sub=1|)",
          R"(-cmd=put|-dir=/home/u/d/|-ldir=C:\W\d\|-sync=1|-sub=1|)", R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-sync=1|-sub=1|)"}, 4},
        // A name without a dot is a file's like any other (a folder whose deletion comes as a
        // file's goes with it); filtered out, Makefile, LICENSE or git's HEAD never arrived.
        {"files without a dot", {},
         {{kEventCreate, LR"(C:\W\sub\AUTHORS\)"}, {kEventUpdateItem, LR"(C:\W\HEAD\)"},
          {kEventRenameItem, LR"(C:\W\HEAD.lock\)", LR"(C:\W\ORIG\)"}, {kEventDelete, LR"(C:\W\sub\build\)"}},
         {R"(-cmd=put|-dir=/home/u/sub/|-ldir=C:\W\sub\|-filename=AUTHORS|)", R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-filename=HEAD|)",
          R"(-cmd=rn|-dir=/home/u/|-ldir=C:\W\|-from=HEAD.lock|-to=ORIG|)", R"(-cmd=del|-dir=/home/u/sub/|-ldir=C:\W\sub\|-filename=build|)"}, 4},
        // An office save: a temporary file written, the original renamed away, the temporary
        // renamed into place, the old one deleted. The temporary name never travels.
        {"an office save", {},
         {{kEventCreate, LR"(C:\W\A1B2\)"}, {kEventUpdateItem, LR"(C:\W\A1B2\)"}, {kEventRenameItem, LR"(C:\W\doc.docx\)", LR"(C:\W\C3D4\)"},
          {kEventRenameItem, LR"(C:\W\A1B2\)", LR"(C:\W\doc.docx\)"}, {kEventDelete, LR"(C:\W\C3D4\)"}},
         {R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-filename=doc.docx|)", R"(-cmd=del|-dir=/home/u/|-filename=doc.docx|)",
          R"(-cmd=del|-dir=/home/u/|-ldir=C:\W\|-filename=A1B2|)", R"(-cmd=del|-dir=/home/u/|-ldir=C:\W\|-filename=C3D4|)"}, 4},
        // An upload per accepted change, the client folder's too.
        {"immediate", immediate,
         {{kEventCreate, LR"(C:\W\a.txt\)"}, {kEventMkDir, LR"(C:\W\sub\new\)"},
          {kEventCreate, LR"(C:\W\Makefile\)"}, {kEventCreate, LR"(C:\W\(!plkSep!)pellaro(!plkSep!)\b.txt\)"}}, {}, 0, 4},
        {"deleted, made again: not a repeat", {}, {{kEventDelete, LR"(C:\W\a.txt\)"}, {kEventCreate, LR"(C:\W\a.txt\)"}},
         {"-cmd=rn|-dir=|-from=/home/u/a.txt|-to=/home/u/a.txt|"}, 2},
        {"lost changes, immediate", immediate, {{kLostChanges, L"-"}}, {}, 0, 1},
        // The first change's command went with a batch (or a run) that may have read the file
        // before the second: the second is no repeat. Dropped, the remote kept the older content.
        {"a change after its path's batch was taken", {},
         {{kEventCreate, LR"(C:\W\a.txt\)"}, {kFiring, L"-"}, {kEventCreate, LR"(C:\W\a.txt\)"}},
         {R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-filename=a.txt|)"}, 1},
        {"immediate, no network: a repeat asks for a run too", [&](WatcherState& s) { immediate(s); networkUp = false; },
         {{kEventCreate, LR"(C:\W\c.txt\)"}, {kEventCreate, LR"(C:\W\c.txt\)"}}, {}, 0, 0, {kMsgNoConnection, kMsgNoConnection}},
    };
    // clang-format on
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        // UTF-8 as the ANSI code page can express every name.
        if (CurrentAnsiCodePage() == 65001 &&
            std::string_view(s.name).ends_with("names the code page cannot hold"))
            continue;
        Fresh(s.setup);
        for (const Step& step : s.steps) {
            if (step.event == kLostChanges) {
                HandleLostChanges();
                continue;
            }
            if (step.event == kFiring) {
                const TransferRunners saved = CurrentTransferRunners();
                CurrentTransferRunners().runProcess = [](const char*, uint32_t&, uint32_t&) {
                    return 0;
                };
                CurrentSeams().isNetworkAlive = [] { return true; };
                State().sendListPath.Assign(sendList);
                EXPECT_EQ(FireEventList(), 0);
                CurrentTransferRunners() = saved;
                continue;
            }
            HandleChangeEvent(step.event, step.first.empty() ? nullptr : step.first.c_str(),
                              step.second.empty() ? nullptr : step.second.c_str());
        }
        EXPECT_EQ(Commands(), s.commands);
        EXPECT_EQ(State().pendingEvents.load(), s.counted);
        EXPECT_EQ(State().commands.commandCount, s.counted);
        EXPECT_EQ(uploads, s.uploads);
        EXPECT_EQ(boxes.Codes(), s.boxes);
        EXPECT_EQ(EventListBytes(), FileOf(s.commands));
    }
    EXPECT_TRUE(lockHeldInFolderTest) << "the folder test runs under bufferMutex";
    EXPECT_FALSE(lockHeldAtBox) << "no message is shown under bufferMutex";
}

// An idle download writes into the folder: what changes meanwhile waits, and afterwards only the
// user's changes go (the download's files carry the server's older times, its temporary files
// never go). Closing during the download sends them too; too many held become one folder send.
TEST_F(ChangeEventHandlerTest, ChangesDuringADownloadAreHeldAndOnlyTheUsersGoAfter) {
    writeTimes = {{LR"(C:\W\fetched.txt\)", 999},
                  {LR"(C:\W\saved.txt\)", 1000},
                  {LR"(C:\W\sub\edited.txt\)", 1500}};
    const std::vector<Step> during = {
        {kEventCreate, LR"(C:\W\~fetched.txt.plftp-part\)"},
        {kEventRenameItem, LR"(C:\W\~fetched.txt.plftp-part\)", LR"(C:\W\fetched.txt\)"},
        {kEventUpdateItem, LR"(C:\W\fetched.txt\)"},
        {kEventCreate, LR"(C:\W\saved.txt\)"},
        {kEventUpdateItem, LR"(C:\W\sub\edited.txt\)"},
        {kEventDelete, LR"(C:\W\gone.txt\)"},
        {kEventRenameItem, LR"(C:\W\a.txt\)", LR"(C:\W\b.txt\)"},
    };
    const std::vector<std::string> users = {
        R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-filename=saved.txt|)",
        R"(-cmd=put|-dir=/home/u/sub/|-ldir=C:\W\sub\|-filename=edited.txt|)",
        R"(-cmd=del|-dir=/home/u/|-ldir=C:\W\|-filename=gone.txt|)",
        R"(-cmd=rn|-dir=/home/u/|-ldir=C:\W\|-from=a.txt|-to=b.txt|)",
    };
    auto hold = [&](const std::vector<Step>& steps) {
        Fresh([](WatcherState& s) {
            s.timedDownloadActive = 1;
            s.downloadStartedAt = 1000;
        });
        for (const Step& step : steps) {
            HandleChangeEvent(step.event, step.first.c_str(),
                              step.second.empty() ? nullptr : step.second.c_str());
        }
        EXPECT_EQ(Commands(), std::vector<std::string>{});
    };

    hold(during);
    ReplayHeldChanges();  // the download is still on
    EXPECT_EQ(Commands(), std::vector<std::string>{});
    State().timedDownloadActive = 0;
    ReplayHeldChanges();
    EXPECT_EQ(Commands(), users);

    hold(during);
    ReplayHeldChanges(true);
    EXPECT_EQ(Commands(), users) << "closing while the download is on";

    hold({{kEventCreate, LR"(C:\W\saved.txt\)"}});
    HandleLostChanges();
    State().timedDownloadActive = 0;
    ReplayHeldChanges();
    EXPECT_EQ(Commands(),
              std::vector<std::string>{R"(-cmd=put|-dir=/home/u/|-ldir=C:\W\|-sync=1|-sub=1|)"})
        << "lost changes among the held ones";
    writeTimes.clear();
}

// In code page 932 the trail byte of 表 (95 5C) and ソ (83 5C) is a backslash, that of ポ (83 7C)
// a "|": a byte-wise search would cut these names in two.
TEST_F(ChangeEventHandlerTest, NamesWithBackslashOrBarTrailBytesComeOutWhole) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    const std::string hyo = "\x95\x5C", so = "\x83\x5C", po = "\x83\x7C";
    ASSERT_EQ(ToAnsiString(L"表ソポ"), hyo + so + po);
    Fresh([](WatcherState& s) { s.remoteDir.Assign("/"); });

    const TransferCommand parsed = ParseCommand("-cmd=put|-dir=/" + po + "/|-ldir=C:\\" + hyo +
                                                "\\|-filename=" + po + hyo + ".txt|");
    EXPECT_EQ(Fields(parsed), "put,/" + po + "/,C:\\" + hyo + "\\," + po + hyo + ".txt,,,,,");
    EXPECT_TRUE(ComposeRenameFolder(("C:\\W\\" + hyo + "\\" + hyo + "\\").c_str(),
                                    ("C:\\W\\" + hyo + "\\n\\").c_str(), "L\\"));
    EXPECT_EQ(State().newCommand.Str(),
              "-cmd=rn|-dir=/" + hyo + "/|-ldir=L\\|-from=" + hyo + "|-to=n|");

    SetItemDir(L"C:\\W\\表\\");
    EXPECT_EQ(State().itemDir.Str(), std::string_view("C:\\W\\"));
    SetItemDir(L"C:\\表\\ソ.txt\\");
    EXPECT_EQ(State().itemDir.Str(), "C:\\" + hyo + "\\");
    SetLeafName(L"C:\\W\\ソ表.txt\\");
    EXPECT_EQ(State().eventLeafName.Str(), so + hyo + ".txt");
    // 129 characters of two bytes each: the cut at 259 bytes keeps them whole.
    SetLeafName((L"C:\\W\\" + std::wstring(200, L'表') + L"\\").c_str());
    EXPECT_EQ(ToWideString(State().eventLeafName.Str()), std::wstring(129, L'表'));
    State().eventIsFolder = 1;
    SetLeafName(L"C:\\W\\表\\ソ\\");
    EXPECT_EQ(State().eventLeafName.Str(), "/" + hyo + "/" + so + "/");

    // 271 characters fit a working copy, their 531 bytes no field: the folder stands in.
    Fresh([](WatcherState& s) { s.remoteDir.Assign("/"); });
    const std::wstring folder(100, L'表');
    HandleChangeEvent(kEventCreate,
                      (L"C:\\W\\" + folder + L"\\" + std::wstring(160, L'表') + L".txt\\").c_str(),
                      nullptr);
    std::string hyo100;
    for (int i = 0; i < 100; ++i) hyo100 += hyo;
    EXPECT_EQ(Commands(), std::vector<std::string>{"-cmd=put|-dir=/" + hyo100 + "/|-ldir=C:\\W\\" +
                                                   hyo100 + "\\|-sync=1|-sub=1|"});
}

}  // namespace
