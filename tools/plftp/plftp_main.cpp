// plftp: the transfer tool the watcher runs for every batch of changes and
// every whole-folder synchronisation.
//   plftp [-changes | -replace] -f CONFIG [-filelist LIST] -path FOLDER
// With -filelist it carries out the list's transfer commands one by one; without,
// it brings the receiving side of the configuration's direction up to the
// sending side by the folder's sync record (-changes: only what changed here
// since; -replace: a copy that replaces what the receiving side has). The exit
// status is 0, or the status of the first failure (README.md lists them), or
// 1002 when a file changed on both sides kept both versions, or 1000 when
// files over the size limit were left out.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/folder_key.h"
#include "base/text_conversion.h"
#include "base/win_handles.h"
#include "tools/plftp/folder_identity_win.h"
#include "tools/plftp/folder_target_win.h"
#include "tools/plftp/ftp_target_win.h"
#include "tools/plftp/path_guard.h"
#include "tools/plftp/path_text.h"
#include "tools/plftp/record_files_win.h"
#include "tools/plftp/run_files_win.h"
#include "tools/plftp/tool_config.h"
#include "tools/plftp/tool_options.h"
#include "tools/plftp/transfer_engine.h"

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[4096];
    const DWORD length = GetEnvironmentVariableW(name, value, static_cast<DWORD>(std::size(value)));
    return length > 0 && length < std::size(value) ? std::wstring(value, length) : std::wstring();
}

// %APPDATA%\xq\pellaro, where the watcher keeps the folder's files; without
// APPDATA, the configuration's own folder.
std::wstring DataFolder(const std::wstring& configPath) {
    const std::wstring appData = Environment(L"APPDATA");
    if (!appData.empty()) return appData + ToWideString(kDataDirSuffix);
    const std::size_t slash = configPath.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : configPath.substr(0, slash);
}

void MakeFolderChain(const std::wstring& folder) {
    for (std::size_t at = folder.find_first_of(L"\\/", 3); at != std::wstring::npos;
         at = folder.find_first_of(L"\\/", at + 1)) {
        CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(folder.c_str(), nullptr);
}

// The lines of the file list (CR LF or LF), empty ones left out.
bool ReadFileList(const std::wstring& path, std::vector<std::string>& lines) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    if (!file) return false;
    std::string text;
    char buffer[16 * 1024];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

int32_t Run(const ToolOptions& options) {
    const std::string commandLine = ToAnsiString(GetCommandLineW());
    BoundedText<512> key;
    DeriveFolderKey(options.folder.c_str(), key);
    const std::wstring dataFolder = DataFolder(options.configPath);
    MakeFolderChain(dataFolder);
    const RunFileNames names = MakeRunFileNames(dataFolder, std::string(key.Str()));

    CFolderLock lock(names.mutex);
    if (!lock.Held()) {
        // The other run is doing this folder's work: nothing of this one failed.
        std::fprintf(stderr, "plftp: another run of this folder is active\n");
        return kToolOperationActive;
    }
    CFileJournal journal(names);

    std::vector<std::string> items;
    if (!options.fileList.empty() && !ReadFileList(options.fileList, items)) {
        journal.Failure(commandLine,
                        SystemReason("read the file list", options.fileList, GetLastError()));
        return kToolOpenFileError;
    }
    if (options.fileList.empty()) items.push_back(commandLine);
    // Before anything is transferred, a failure is a failure of every item.
    auto failAll = [&](const Outcome& outcome) {
        for (const std::string& item : items) journal.Failure(item, outcome.reason);
        return outcome.status;
    };

    ToolConfig config;
    if (Outcome outcome = LoadToolConfig(ToAnsiString(options.configPath), config); !outcome) {
        return failAll(outcome);
    }
    const bool download = options.fileList.empty() && config.direction == TransferDirection::kGet;
    CSwapFile swap(names.swap, download);

    CFolderTarget local(L"");
    std::unique_ptr<CTransferTarget> remote;
    if (config.protocol == TargetProtocol::kFtp) {
        auto ftp = std::make_unique<CFtpTarget>(config);
        if (Outcome outcome = ftp->Connect(); !outcome) return failAll(outcome);
        remote = std::move(ftp);
    } else {
        const DWORD attributes = GetFileAttributesW(config.root.c_str());
        if (config.protocol == TargetProtocol::kFile &&
            (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
            return failAll(Outcome::Fail(
                kToolInvalidRemoteDir,
                "the target folder " + ToAnsiString(config.root) + " does not exist"));
        }
        remote = std::make_unique<CFolderTarget>(config.root);
    }

    EngineSettings settings;
    settings.watchedFolder = CanonicalPath(options.folder);
    if (std::string why = UnfitBaseReason(settings.watchedFolder, true); !why.empty()) {
        return failAll(Outcome::Fail(kToolInvalidLocalDir, "-path: " + why));
    }
    settings.remoteDir = config.remoteDir;
    settings.ignore = config.ignore;
    settings.ignoreDir = config.ignoreDir;
    settings.sizeLimit = config.sizeLimit;
    // The engine compares the texts; a link, a short name or another case can still lead one
    // folder into the other, which only the file system tells.
    if (std::string why =
            FolderOverlapReason(remote->LocalFolder(settings.remoteDir), settings.watchedFolder);
        !why.empty()) {
        return failAll(Outcome::Fail(kToolInvalidTarget, "refused: " + why));
    }
    wchar_t device[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD deviceLength = static_cast<DWORD>(std::size(device));
    if (GetComputerNameW(device, &deviceLength)) settings.device.assign(device, deviceLength);

    // The record of what the last runs left equal on both sides. One that
    // cannot be read fails the run with its own status, after the run has
    // merged without it.
    CRecordFiles recordFiles(dataFolder, std::string(key.Str()), config);
    CSyncRecord record;
    const Outcome loaded = recordFiles.Load(record, remote->CaseSensitive());
    if (!loaded) {
        for (const std::string& item : items) journal.Failure(item, loaded.reason);
    }
    const bool replace = options.mode == RunMode::kReplace && options.fileList.empty();
    settings.record = replace ? nullptr : &record;
    if (config.protocol == TargetProtocol::kFtp) {
        // Files go over connections of their own, each logged in as the first
        // one was (FTPS: the same certificate check); one that cannot log in
        // leaves its share to the others, or to the first connection.
        settings.connections = config.connections;
        settings.connect = [&config](Outcome& failure) -> std::unique_ptr<CTransferTarget> {
            auto ftp = std::make_unique<CFtpTarget>(config);
            failure = ftp->Connect();
            if (!failure) return nullptr;
            return ftp;
        };
    }
    CTransferEngine engine(local, *remote, settings, journal);

    int32_t status = kToolSuccess;
    if (!options.fileList.empty()) {
        for (const std::string& item : items) {
            const int32_t itemStatus = engine.RunCommandLine(item);
            if (status == kToolSuccess) status = itemStatus;
        }
        if (const int32_t late = engine.Finish(); status == kToolSuccess) status = late;
    } else {
        status = options.mode == RunMode::kChanges
                     ? engine.SendChanges(commandLine)
                     : engine.Synchronise(config.direction, commandLine);
        (void)engine.Finish();  // a whole-folder run's transfers ended with it
        if (replace && status == kToolSuccess) {
            // Both sides are equal now: a merge of them records every item.
            CSyncRecord fresh;
            fresh.SetCaseSensitive(remote->CaseSensitive());
            fresh.SetJournal(&recordFiles);
            settings.record = &record;
            record = std::move(fresh);
            CTransferEngine recorder(local, *remote, settings, journal);
            status = recorder.Synchronise(config.direction, commandLine);
        }
        journal.Action(options.mode == RunMode::kChanges ? "sync changes"
                       : download                        ? "sync get"
                                                         : "sync put",
                       local.NativePath(settings.watchedFolder),
                       remote->Describe(settings.remoteDir),
                       status == kToolSuccess ? "ok" : "failed: status " + std::to_string(status));
    }
    if (!replace || status == kToolSuccess) {
        record.SetKnown(true);
        if (!recordFiles.Save(record)) {
            const Outcome unsaved = Outcome::Fail(
                kToolWriteError, "the sync record could not be written; its journal is kept");
            for (const std::string& item : items) journal.Failure(item, unsaved.reason);
            if (status == kToolSuccess) status = unsaved.status;
        }
    }
    if (status == kToolSuccess && !loaded) status = loaded.status;
    if (status == kToolSuccess && engine.SkippedForSize()) status = kToolSkippedFiles;
    return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> arguments(argv + 1, argv + argc);
    ToolOptions options;
    if (!ParseToolArguments(arguments, options)) {
        std::fprintf(stderr, "usage: plftp -f CONFIG [-filelist LIST] -path FOLDER\n");
        return kToolInvalidOption;
    }
    return Run(options);
}
