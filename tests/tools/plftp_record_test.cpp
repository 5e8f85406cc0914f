// Catches: a whole-folder run or a file-list line that removes or replaces what another device
// put on the target or changed there (or, in a get, what the user changed here), a change made
// while no watcher ran that a start does not send, a file changed on both sides that loses a
// version, and a record that is cut, misread or out of step with what a run did.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tools/plftp_memory_target.h"
#include "tools/plftp/sync_record.h"
#include "tools/plftp/transfer_engine.h"

namespace {

// 2026-12-10 14:05:30 UTC.
constexpr int64_t kNow = 134413851300000000;
const wchar_t kAside[] = L" (conflict, PC-1, 2026-12-10 14.05)";

struct Row {
    const char* name;
    std::wstring synced;  // both sides after a first put (none when `noRecord`)
    std::wstring here;    // then changed here ("-a" removes a) ...
    std::wstring there;   // ... and on the target
    std::string run;      // "put", "get", "changes", or file-list lines
    std::string localAfter;
    std::string remoteAfter;
    int32_t status = kToolSuccess;
    bool noRecord = false;
    bool serverCase = false;      // the target tells case apart
    std::wstring failing = {};    // a path whose transfer fails in `run`
    std::wstring thenThere = {};  // the target changed again, and `run` once more
};

struct Bench {
    MemoryDisk localDisk{false}, remoteDisk{false};
    MemoryTarget local{localDisk, L"", &remoteDisk};
    MemoryTarget remote{remoteDisk, L"R:", &localDisk};
    CSyncRecord record;
    RecordingJournal journal;

    Bench() {
        localDisk.AddFolder(L"C:/W");
        remoteDisk.AddFolder(L"R:");
        local.clock = kNow;
    }
    std::size_t connections = 1;
    int32_t Run(const std::string& run) {
        EngineSettings settings{L"C:/W", L"/", L"", L"", 0, &record, L"PC-1"};
        CTransferEngine engine(local, remote, Pooled(settings, remote, connections), journal);
        if (run == "put") return engine.Synchronise(TransferDirection::kPut, "sync");
        if (run == "get") return engine.Synchronise(TransferDirection::kGet, "sync");
        if (run == "changes") return engine.SendChanges("changes");
        int32_t status = kToolSuccess;
        for (std::size_t at = 0, end; at < run.size(); at = end + 1) {
            end = std::min(run.find('\n', at), run.size());
            const int32_t lineStatus = engine.RunCommandLine(run.substr(at, end - at));
            if (status == kToolSuccess) status = lineStatus;
        }
        const int32_t late = engine.Finish();
        return status == kToolSuccess ? late : status;
    }
};

// Every row on the engine's own connection, and with three transfers in flight.
void RunRows(const std::vector<Row>& rows) {
    for (const std::size_t connections : {1, 3})
        for (const Row& row : rows) {
            SCOPED_TRACE(testing::Message() << connections << " connections");
            Bench bench;
            bench.connections = connections;
            bench.remoteDisk.caseSensitive = row.serverCase;
            bench.remote.serverNames = row.serverCase;
            Fill(bench.localDisk, L"C:/W", row.synced);
            Fill(bench.remoteDisk, L"R:", row.synced);
            if (!row.noRecord) {
                ASSERT_EQ(bench.Run("put"), kToolSuccess) << row.name << bench.journal.failures;
                bench.record.SetKnown(true);
            }
            Fill(bench.localDisk, L"C:/W", row.here);
            Fill(bench.remoteDisk, L"R:", row.there);
            if (!row.failing.empty()) bench.remote.faults.failedTransfers.insert(row.failing);
            int32_t status = bench.Run(row.run);
            if (!row.thenThere.empty()) {
                bench.remote.faults.failedTransfers.clear();
                Fill(bench.remoteDisk, L"R:", row.thenThere);
                status = bench.Run(row.run);
            }
            const std::string context = std::string(row.name) + "\nlog:\n" + bench.journal.log +
                                        "failures:\n" + bench.journal.failures;
            EXPECT_EQ(status, row.status) << context;
            EXPECT_EQ(bench.localDisk.Tree(L"C:/W"), row.localAfter) << context;
            EXPECT_EQ(bench.remoteDisk.Tree(L"R:"), row.remoteAfter) << context;
        }
}

std::string Aside(const std::string& stem, const std::string& extension = ".txt") {
    std::string text = stem;
    for (const wchar_t* c = kAside; *c; ++c) text += static_cast<char>(*c);
    return text + extension;
}

}  // namespace

// Each row names, after "without:", the rule whose removal makes it fail.
TEST(PlftpRecord, WholeFolderPutsRemoveOnlyWhatTheUserDeletedHere) {
    RunRows({
        // without: RemoveItem's record check
        {"another device's file stays", L"a.txt=1", L"", L"c.txt=c;team/plan.txt=p", "put",
         "a.txt=1", "a.txt=1;c.txt=c;team/;team/plan.txt=p"},
        {"a file deleted here goes", L"a.txt=1;b.txt=2", L"-b.txt", L"", "put", "a.txt=1",
         "a.txt=1"},
        // without: Unchanged in RemoveItem
        {"a file deleted here but changed there stays", L"a.txt=1;b.txt=2", L"-b.txt",
         L"b.txt=22~5", "put", "a.txt=1", "a.txt=1;b.txt=22"},
        // without: the per-item check below a removed folder
        {"a folder goes only when all in it goes", L"d/a.txt=1", L"-d", L"d/c.txt=c", "put", "",
         "d/;d/c.txt=c"},
        {"a changed file is sent", L"a.txt=1", L"a.txt=11~5", L"", "put", "a.txt=11", "a.txt=11"},
        // without: TargetEmptied (an emptied share got nothing back, ever)
        {"an emptied target gets everything again", L"a.txt=1;d/b.txt=2", L"", L"-a.txt;-d", "put",
         "a.txt=1;d/;d/b.txt=2", "a.txt=1;d/;d/b.txt=2"},
        // without: Reconcile's kept branch
        {"a change on the target is not undone", L"a.txt=1", L"", L"a.txt=22~5", "put", "a.txt=1",
         "a.txt=22"},
        // without: the kept-out branch for items the receiving side lacks
        {"a file deleted on the target is not sent again", L"a.txt=1;b.txt=2", L"", L"-b.txt",
         "put", "a.txt=1;b.txt=2", "a.txt=1"},
        {"but a change here to it is", L"a.txt=1;b.txt=2", L"b.txt=22~5", L"-b.txt", "put",
         "a.txt=1;b.txt=22", "a.txt=1;b.txt=22"},
        // without: Conflict (the put replaced the target's version)
        {"both changed: both kept", L"a.txt=1", L"a.txt=LL~5", L"a.txt=RR~6", "put", "a.txt=LL",
         Aside("a") + "=LL;a.txt=RR", kToolConflictKept},
        // without: the record matching names as the target does (the put kept A.txt out as
        // deleted there, and removed a.txt: the file was on neither name)
        {"a rename in case on a server that tells case apart", L"a.txt=1", L"-a.txt;A.txt=1", L"",
         "put", "A.txt=1", "A.txt=1", kToolSuccess, false, true},
        // without: the record put back after a failed transfer (its announcement let the next
        // put take the target's later change for plftp's own)
        {"a failed send leaves the record as it was", L"a.txt=1", L"a.txt=LL~5", L"", "put",
         "a.txt=LL", Aside("a") + "=LL;a.txt=RR", kToolConflictKept, false, false, L"C:/W/a.txt",
         L"a.txt=RR~6"},
        {"no record: merged, nothing removed", L"", L"a.txt=1;b.txt=new",
         L"a.txt=1;b.txt=other;c.txt=c", "put", "a.txt=1;b.txt=new",
         "a.txt=1;" + Aside("b") + "=new;b.txt=other;c.txt=c", kToolConflictKept, true},
    });
}

TEST(PlftpRecord, WholeFolderGetsBringOnlyWhatChangedThere) {
    RunRows({
        {"a change there comes, a change here stays", L"a.txt=1;b.txt=2", L"b.txt=LL~5",
         L"a.txt=RR~5", "get", "a.txt=RR;b.txt=LL", "a.txt=RR;b.txt=2"},
        // without: the kept-out branch (the get brought the file back)
        {"what was deleted here stays deleted", L"a.txt=1;b.txt=2", L"-b.txt", L"", "get",
         "a.txt=1", "a.txt=1;b.txt=2"},
        // without: Extras::kRemove for a get with a record
        {"what the target deleted goes here", L"a.txt=1;b.txt=2", L"", L"-b.txt", "get", "a.txt=1",
         "a.txt=1"},
        {"unless it changed here", L"a.txt=1;b.txt=2", L"b.txt=LL~5", L"-b.txt", "get",
         "a.txt=1;b.txt=LL", "a.txt=1"},
        // without: the empty-target guard
        {"an empty target removes nothing", L"a.txt=1;d/b.txt=2", L"", L"-a.txt;-d", "get",
         "a.txt=1;d/;d/b.txt=2", ""},
        {"a new local file stays", L"a.txt=1", L"n.txt=n", L"", "get", "a.txt=1;n.txt=n",
         "a.txt=1"},
        // without: the get half of Conflict
        {"both changed: both on both sides", L"a.txt=1", L"a.txt=LL~5", L"a.txt=RR~6", "get",
         Aside("a") + "=LL;a.txt=RR", Aside("a") + "=LL;a.txt=RR", kToolConflictKept},
    });
}

TEST(PlftpRecord, ChangesSendOnlyWhatChangedHere) {
    RunRows({
        {"new, changed and deleted go; the rest is not looked at",
         L"a.txt=1;b.txt=2;d/e.txt=3;k.txt=4", L"a.txt=11~5;-b.txt;n.txt=n;d/f.txt=f;g/h.txt=h",
         L"c.txt=c;k.txt=44~5", "changes",
         "a.txt=11;d/;d/e.txt=3;d/f.txt=f;g/;g/h.txt=h;k.txt=4;n.txt=n",
         "a.txt=11;c.txt=c;d/;d/e.txt=3;d/f.txt=f;g/;g/h.txt=h;k.txt=44;n.txt=n"},
        {"a file deleted here and changed there stays", L"a.txt=1", L"-a.txt", L"a.txt=22~5",
         "changes", "", "a.txt=22"},
        {"an emptied target gets everything again", L"a.txt=1", L"", L"-a.txt", "changes",
         "a.txt=1", "a.txt=1"},
        {"a change made on both sides", L"a.txt=1", L"a.txt=LL~5", L"a.txt=RR~6", "changes",
         "a.txt=LL", Aside("a") + "=LL;a.txt=RR", kToolConflictKept},
        {"no record: the first put, merged", L"", L"a.txt=1", L"b.txt=2", "changes", "a.txt=1",
         "a.txt=1;b.txt=2", kToolSuccess, true},
    });
}

TEST(PlftpRecord, FileListLinesKeepTheRecordTrue) {
    RunRows({
        // without: the conflict check of SendLocalItem
        {"a put over a change there keeps both", L"a.txt=1", L"a.txt=LL~5", L"a.txt=RR~6",
         "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=a.txt|", "a.txt=LL", Aside("a") + "=LL;a.txt=RR",
         kToolConflictKept},
        // without: the local side's check in SendLocalItem (a download's own creation, sent as
        // a put, made a conflict of the target's later change)
        {"a put of a file unchanged here and changed there keeps it", L"a.txt=1", L"",
         L"a.txt=22~5", "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=a.txt|", "a.txt=1", "a.txt=22"},
        {"a delete of a file changed there keeps it", L"a.txt=1", L"-a.txt", L"a.txt=22~5",
         "-cmd=del|-dir=/|-filename=a.txt|", "", "a.txt=22"},
        // without: the kept-out check of SendLocalItem (the download's own creation, sent as a
        // put, brought back what the other device deleted)
        {"a put of a file deleted there and unchanged here", L"a.txt=1;b.txt=2", L"", L"-a.txt",
         "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=a.txt|", "a.txt=1;b.txt=2", "b.txt=2"},
        {"a rename", L"a.txt=1", L"-a.txt;b.txt=1", L"",
         "-cmd=rn|-dir=/|-ldir=C:\\W\\|-from=a.txt|-to=b.txt|", "b.txt=1", "b.txt=1"},
        // without: Extras::kRemove for a plain rename with a record (a deletion whose stand-in
        // send found its folder renamed already stayed on the target, seed 1100000)
        // without: MakeFolders remembering a folder whose local one is gone (the folders a
        // move made on the way stayed as somebody's, seed 1100171)
        {"a move through folders gone here leaves none of them", L"a.txt=1", L"-a.txt;c.txt=1", L"",
         "-cmd=rn|-dir=|-from=/a.txt|-to=/n/v/a.txt|\n-cmd=rn|-dir=|-from=/n/v/a.txt|-to=/c.txt|"
         "\n-cmd=del|-dir=/n/|-ldir=C:\\W\\|-sub=1|",
         "c.txt=1", "c.txt=1"},
        {"a folder renamed drops what the user deleted in it, not another's or a change there",
         L"d/a.txt=1;d/b.txt=2;d/k.txt=3", L"-d;e/a.txt=1", L"d/c.txt=c;d/k.txt=33~5",
         "-cmd=rn|-dir=/|-ldir=C:\\W\\e\\|-from=d|-to=e|", "e/;e/a.txt=1",
         "e/;e/a.txt=1;e/c.txt=c;e/k.txt=33"},
    });
    // The record the lines left decides the next whole-folder put: it sends nothing again
    // (without Remember in TransferFile, n.txt went again), and removes what the user then
    // deleted.
    Bench bench;
    Fill(bench.localDisk, L"C:/W", L"a.txt=1");
    Fill(bench.remoteDisk, L"R:", L"a.txt=1");
    ASSERT_EQ(bench.Run("put"), kToolSuccess);
    bench.record.SetKnown(true);
    Fill(bench.localDisk, L"C:/W", L"-a.txt;b.txt=1;n.txt=n");
    ASSERT_EQ(bench.Run("-cmd=rn|-dir=/|-ldir=C:\\W\\|-from=a.txt|-to=b.txt|\n"
                        "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=n.txt|"),
              kToolSuccess);
    bench.journal.log.clear();
    EXPECT_EQ(bench.Run("put"), kToolSuccess);
    EXPECT_EQ(bench.journal.log.find("put "), std::string::npos) << bench.journal.log;
    // A move into a folder the batch makes after the folder was renamed here: the record learns
    // the folder only through its file, and the folder's later deletion here removes both
    // (without the walk into a folder the record lacks, both stayed as another device's).
    Fill(bench.localDisk, L"C:/W", L"-b.txt;n2/b.txt=1");
    ASSERT_EQ(bench.Run("-cmd=rn|-dir=|-from=/b.txt|-to=/v/b.txt|\n"
                        "-cmd=rn|-dir=/|-ldir=C:\\W\\n2\\|-from=v|-to=n2|"),
              kToolSuccess)
        << bench.journal.log;
    ASSERT_EQ(bench.remoteDisk.Tree(L"R:"), "n.txt=n;n2/;n2/b.txt=1");
    Fill(bench.localDisk, L"C:/W", L"-n2;-n.txt");
    EXPECT_EQ(bench.Run("put"), kToolSuccess) << bench.journal.log;
    EXPECT_EQ(bench.remoteDisk.Tree(L"R:"), "") << bench.journal.log;
}

// A file a batch sends into a folder another device made knows its folder: when the user then
// deletes both here, a get makes no empty folder of it again (without the folders Remember adds
// above a file, it did).
TEST(PlftpRecord, AFilesFolderIsKnownWithIt) {
    Bench bench;
    Fill(bench.localDisk, L"C:/W", L"a.txt=1");
    Fill(bench.remoteDisk, L"R:", L"a.txt=1;n/");
    ASSERT_EQ(bench.Run("put"), kToolSuccess);
    Fill(bench.localDisk, L"C:/W", L"n/f.txt=f");
    ASSERT_EQ(bench.Run("-cmd=put|-dir=/n/|-ldir=C:\\W\\n\\|-filename=f.txt|"), kToolSuccess);
    Fill(bench.localDisk, L"C:/W", L"-n");
    EXPECT_EQ(bench.Run("get"), kToolSuccess);
    EXPECT_EQ(bench.localDisk.Tree(L"C:/W"), "a.txt=1") << bench.journal.log;
}

// The record survives a kill at any line of its journal and reads back only whole.
TEST(PlftpRecord, RecordAndJournalReadBackWholeOrNotAtAll) {
    struct Lines final : CRecordJournal {
        void Append(std::string_view line) override { text += line; }
        std::string text;
    } lines;
    CSyncRecord record;
    record.SetJournal(&lines);
    record.Set({L"d", true, {}, {}});
    record.Set({L"d/é.txt", false, {3, 100}, {3, 0}});
    record.Set({L"a.txt", false, {1, 7}, {1, 7}});
    record.Intent(L"n.txt", CSyncRecord::Direction::kPut);
    record.Move(L"d", L"D2");
    record.Drop(L"a.txt");
    const std::string whole = record.Text("file R:");

    CSyncRecord copy;
    ASSERT_TRUE(copy.Read(whole, "file R:"));
    EXPECT_EQ(copy.Text("file R:"), whole);
    EXPECT_FALSE(copy.Read(whole, "ftp other")) << "another target's record";
    EXPECT_EQ(copy.Size(), 0u);
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_FALSE(copy.Read(whole.substr(0, cut), "file R:")) << "cut at " << cut;
    }
    EXPECT_FALSE(copy.Read("plftp record 1\ntarget file R:\nF x 0 0 0 a\nend 1\n", "file R:"));

    // The journal replayed at every cut gives the record as far as its whole lines go.
    for (std::size_t cut = 0; cut <= lines.text.size(); ++cut) {
        CSyncRecord replayed;
        EXPECT_TRUE(replayed.Replay(lines.text.substr(0, cut))) << "cut at " << cut;
        if (cut == lines.text.size()) {
            EXPECT_EQ(replayed.Text("t"), record.Text("t"));
        }
    }
    // The transfer whose end the journal never saw is sent again, never a conflict.
    const RecordEntry* pending = record.Find(L"N.TXT");
    ASSERT_NE(pending, nullptr);
    EXPECT_FALSE(SideUnchanged(pending->local, false, false, 5, 9, 1));
    EXPECT_TRUE(SideUnchanged(pending->remote, false, false, 8, 3, 1));
    EXPECT_NE(record.Find(L"d2/é.txt"), nullptr);
    EXPECT_EQ(record.Find(L"d/é.txt"), nullptr);

    EXPECT_EQ(ConflictName(L"report.final.txt", L"PC/1", kNow),
              L"report.final (conflict, PC-1, 2026-12-10 14.05).txt");
    EXPECT_EQ(ConflictName(L".profile", L"PC", kNow), L".profile (conflict, PC, 2026-12-10 14.05)");
    EXPECT_EQ(ConflictName(std::wstring(250, L'x') + L".txt", L"PC", kNow).size(), 255u);
}
