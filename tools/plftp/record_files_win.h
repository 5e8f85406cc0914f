#pragma once
// Where a folder's sync record lives and how it is read and kept: beside the
// transfer log in the data folder, one record per folder and target,
//   <key>_plftp_<target hash>.record      replaced whole at the end of a run
//   <key>_plftp_<target hash>.record.log  the run's changes, one line each
// (sync_record.h says what they hold). The target's own description is the
// record's second line: a record of another target is no record of this one.

#include <string>

#include "base/file_ops.h"
#include "tools/plftp/sync_record.h"
#include "tools/plftp/tool_config.h"
#include "tools/plftp/tool_status.h"

// The text that names a target: protocol, server, user, root and folder.
std::string TargetIdentity(const ToolConfig& config);

class CRecordFiles final : public CRecordJournal {
public:
    CRecordFiles(const std::wstring& dataDir, const std::string& key, const ToolConfig& config);

    // Reads the record and replays its journal into `record` (its paths
    // matched as the target matches names), which the
    // journal then takes the run's changes. A record or journal that cannot
    // be read leaves `record` empty and unknown, is moved aside to
    // "<record>.unreadable", and fails with kToolRecordUnreadable.
    Outcome Load(CSyncRecord& record, bool caseSensitive);
    // Replaces the record with `record` and removes the journal; false when
    // the record could not be written (the journal then stays for the next run).
    bool Save(const CSyncRecord& record);
    // Removes both: the next run merges.
    void Forget();

    void Append(std::string_view line) override;

private:
    std::string identity;
    std::string recordPath;
    std::string journalPath;
    OpenedFile journal;
    bool journalFailed = false;
};
