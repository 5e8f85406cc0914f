#include "tools/plftp/record_files_win.h"

#include <cstdio>

#include "base/text_conversion.h"

namespace {

// FNV-1a: a short, stable name part for a target.
uint32_t Hash(std::string_view text) {
    uint32_t hash = 2166136261u;
    for (char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace

std::string TargetIdentity(const ToolConfig& config) {
    const char* protocol = config.protocol == TargetProtocol::kFtp   ? "ftp"
                           : config.protocol == TargetProtocol::kSmb ? "smb"
                                                                     : "file";
    return std::string(protocol) + " " + EncodeUtf8(config.userName) + "@" +
           EncodeUtf8(config.host) + ":" + std::to_string(config.port) + " " +
           EncodeUtf8(config.root) + " " + EncodeUtf8(config.remoteDir);
}

CRecordFiles::CRecordFiles(const std::wstring& dataDir, const std::string& key,
                           const ToolConfig& config)
    : identity(TargetIdentity(config)) {
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08x", static_cast<unsigned>(Hash(identity)));
    recordPath = ToAnsiString(dataDir) + "\\" + key + "_plftp_" + hash + ".record";
    journalPath = recordPath + ".log";
}

Outcome CRecordFiles::Load(CSyncRecord& record, bool caseSensitive) {
    record = CSyncRecord();
    record.SetCaseSensitive(caseSensitive);
    std::string text;
    const FileResult found = ReadFileContent(recordPath, text);
    bool whole = true;
    if (found == FileResult::kOk) {
        whole = record.Read(text, identity);
        record.SetKnown(whole);
    } else if (found != FileResult::kMissing) {
        whole = false;
    }
    std::string lines;
    const FileResult journaled = ReadWholeFile(journalPath, lines);
    if (whole && journaled == FileResult::kOk) whole = record.Replay(lines);
    if (whole && journaled != FileResult::kOk && journaled != FileResult::kMissing) whole = false;
    if (whole) {
        record.SetJournal(this);
        return Outcome::Ok();
    }
    // Kept for whoever looks into it; this run starts afresh and removes nothing.
    record = CSyncRecord();
    record.SetCaseSensitive(caseSensitive);
    record.SetJournal(this);
    static_cast<void>(MoveFileTo(recordPath, recordPath + ".unreadable", MoveKind::kReplace));
    static_cast<void>(MoveFileTo(journalPath, journalPath + ".unreadable", MoveKind::kReplace));
    return Outcome::Fail(kToolRecordUnreadable,
                         "the sync record " + recordPath +
                             " cannot be read: it was moved aside, and this run merges, "
                             "removing nothing");
}

bool CRecordFiles::Save(const CSyncRecord& record) {
    journal.Close();
    const ReplaceOutcome outcome = ReplaceFileContent(recordPath, record.Text(identity), true);
    if (outcome == ReplaceOutcome::kFailed) return false;
    static_cast<void>(RemoveFile(journalPath));
    return true;
}

void CRecordFiles::Forget() {
    journal.Close();
    static_cast<void>(RemoveFile(recordPath));
    static_cast<void>(RemoveFile(PendingReplacementPath(recordPath)));
    static_cast<void>(RemoveFile(journalPath));
}

void CRecordFiles::Append(std::string_view line) {
    if (journalFailed) return;
    if (!journal) journal = OpenFileAt(journalPath, FileAccess::kAppend);
    // The record is still written whole at the end; a journal that cannot be
    // written costs only what a kill would lose.
    if (!journal || !journal.Write(line)) journalFailed = true;
}
