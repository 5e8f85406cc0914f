#include "sync/transfer_runs.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/bounded_text.h"
#include "base/file_ops.h"
#include "base/seams.h"
#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "notify/message_catalogue.h"
#include "notify/tray_pipe.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/transfer_report.h"

namespace {

constexpr char kPipeBatchFormat[] = "%s|eventfilelist|PellaroCNW";
constexpr char kPipeDownloadFormat[] = "%s|SyncDownload|PellaroCNW";
constexpr char kPipeUploadFormat[] = "%s|SyncUpload|PellaroCNW";
constexpr char kSwapFileFormat[] = "%s\\%s_.plftp.swap";

constexpr auto kBatchLockWait = std::chrono::milliseconds(1000);
constexpr uint32_t kAfterDownloadPauseMs = 5000;

TransferRunners DefaultRunners() {
    TransferRunners runners;
    runners.runProcess = RunProcess;
    runners.trayPipeRequest = TrayPipeRequest;
    return runners;
}

const char* Caption() { return State().watchedPath.CStr(); }

// -1 when there is no such file. Through the file layer: a file another
// program holds open is still seen with its size.
int64_t FileSize(const char* path) { return FileSizeAt(path); }

// Empties the event list after a failed batch; false when it kept its content.
bool EmptyEventListFile(const char* path) {
    return ReplaceFileContent(path, {}, false) != ReplaceOutcome::kFailed;
}

// The send list after its run: deleted, or emptied when it cannot be deleted
// (the next firing then only deletes it). Left with its commands, it would be
// merged back behind newer ones and sent again: that is reported.
void DiscardSendList() {
    const std::string path(State().sendListPath.Str());
    if (RemoveFile(path) == FileResult::kOk || FileSizeAt(path) < 0) return;
    OpenedFile emptied = OpenFileAt(path, FileAccess::kRewrite);
    if (emptied && emptied.CutHere()) return;
    ShowMessage(kMsgFileOpenFailed, State().watchedPath.CStr());
}

// The tool's error file counts as a failure while it holds anything.
bool ErrorFileHasContent() { return FileSize(State().errorFilePath.CStr()) > 0; }

// The pipe subject and the text put in for "%s" of the pipe commands: the
// watched folder converted from UTF-16 now.
BoundedText<512> PipeSubject() {
    BoundedText<512> subject;
    ToAnsi(State().watchedPathW.CStr(), subject);
    return subject;
}

int32_t PipeTransfer(const char* format) {
    const BoundedText<512> subject = PipeSubject();
    BoundedText<2048> command;
    FormatText(command, format, subject.CStr());
    return CurrentTransferRunners().trayPipeRequest(subject.CStr(), command.CStr());
}

// The longest command line a process can be started with, terminator included.
constexpr std::size_t kMaxProcessCommandLine = 32768;

std::string Quoted(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    quoted += text;
    quoted += '"';
    return quoted;
}

std::string ToolPath() {
    const WatcherState& state = State();
    return Quoted(std::string(state.toolDir ? state.toolDir : "") + "bin\\plftp");
}

// "\"<PLDIR>bin\\plftp\" -f \"<config>\" -filelist \"<send list>\" -path \"<folder>\"",
// whole, however long the folder path is.
std::string BatchCommandLine() {
    const WatcherState& state = State();
    return ToolPath() + " -f " + Quoted(state.putConfigPath.Str()) + " -filelist " +
           Quoted(state.sendListPath.Str()) + " -path " + Quoted(state.watchedPath.Str());
}

// "\"<PLDIR>bin\\plftp\" -f \"<config>\" -path \"<folder>\"".
std::string SyncCommandLine(const BoundedText<1024>& configPath, const char* mode = "") {
    const WatcherState& state = State();
    return ToolPath() + mode + " -f " + Quoted(configPath.Str()) + " -path " +
           Quoted(state.watchedPath.Str());
}

// Keeps the line's first 511 bytes as the last run's (under the lock: several
// threads run the tool) and runs the whole line. A line longer than a process
// can be started with counts as a tool that did not start.
int32_t ToolTransfer(const std::string& line) {
    WatcherState& state = State();
    {
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        state.toolCommandLine.Assign(line);
    }
    if (line.size() >= kMaxProcessCommandLine) return kTransferNotStarted;
    uint32_t childProcessId = 0;
    uint32_t errorCode = 0;
    return CurrentTransferRunners().runProcess(line.c_str(), childProcessId, errorCode);
}

void StoreSyncResult(int32_t status) {
    WatcherState& state = State();
    std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
    state.lastSyncResult = status;
}

void SetTimedDownloadActive(int32_t active) {
    WatcherState& state = State();
    std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
    state.timedDownloadActive = active;
    if (active == 1) state.downloadStartedAt = CurrentSeams().now();
}

enum class Takeover { kTaken, kSendListLeft, kFailed };

// Under bufferMutex: moves the event list file to the send list file, leaves a
// new empty event list file and empties the buffer. A send list an earlier run
// left is first merged back into the event list (its commands go with this
// batch). Nothing is touched when the file cannot be moved (a send list that
// cannot be merged back, the file held open without delete sharing).
Takeover TakeEventList() {
    const WatcherState& state = State();
    if (!FlushEventList()) return Takeover::kFailed;
    if (!MergeSendList(false)) {
        return Takeover::kSendListLeft;
    }
    if (MoveFileTo(state.eventListPath.CStr(), state.sendListPath.CStr(), MoveKind::kRename) !=
        FileResult::kOk) {
        return Takeover::kFailed;
    }
    static_cast<void>(CreateIfMissing(state.eventListPath.CStr()));
    EmptyCommandBuffer();
    // Every change counted so far has its command in this batch.
    WatcherState& changes = State();
    changes.pendingEvents = 0;
    // The repeat filter drops a second change of a path because the first
    // one's command will send it. That command is in this batch now, and the
    // tool may read the file before the second change is written: the next
    // change of any path must get a command of its own.
    for (auto& path : changes.recentEventPaths) path.Clear();
    changes.recentEventCount = 0;
    return Takeover::kTaken;
}

// A send list that stays in the way blocks every batch: the user hears of it
// once per run, and the firing keeps trying quietly.
void ReportSendListLeft() {
    WatcherState& state = State();
    {
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        if (state.sendListReported != 0) return;
        state.sendListReported = 1;
    }
    ShowMessage(kMsgFileOpenFailed, Caption());
}

struct FiringReason {
    int32_t interval = 0;
    int32_t threshold = 0;
};

// The counters are the timer thread's, under bufferMutex; false when the lock
// was not had within the batch wait.
bool ReadFiringReason(FiringReason& reason) {
    WatcherState& state = State();
    std::unique_lock<std::recursive_timed_mutex> lock(state.bufferMutex, std::defer_lock);
    if (!lock.try_lock_for(kBatchLockWait)) return false;
    reason = {state.intervalReached, state.thresholdReached};
    return true;
}

int32_t ProgressMessage(const FiringReason& reason) {
    if (reason.interval == 1) return kMsgIntervalFiring;
    if (reason.threshold == 1) return kMsgThresholdFiring;
    return kMsgEventListFiring;
}

const char* FiringContext(const FiringReason& reason) {
    if (reason.interval == 1) return kContextIntervalFiring;
    if (reason.threshold == 1) return kContextThresholdFiring;
    return kContextEventListFiring;
}

enum class Pending { kCommands, kNone, kBusy };

// Before each size test of the firing: the event list file is brought level
// with the buffer (a write still queued with the dialog would otherwise make
// it look empty), and when neither holds a command the counted changes merged
// to nothing, so nothing is counted as pending any more.
Pending PendingCommands() {
    WatcherState& state = State();
    std::unique_lock<std::recursive_timed_mutex> lock(state.bufferMutex, std::defer_lock);
    if (!lock.try_lock_for(kBatchLockWait)) return Pending::kBusy;
    if (!FlushEventList()) return Pending::kBusy;
    if (FileSize(state.eventListPath.CStr()) > 0) return Pending::kCommands;
    const CommandBuffer& buffer = state.commands;
    for (int32_t i = 0; i < buffer.commandCount; ++i) {
        if (!buffer.commandSlots[static_cast<std::size_t>(i)].Empty()) return Pending::kCommands;
    }
    state.pendingEvents = 0;
    return Pending::kNone;
}

// The immediate mode's uploads: one worker thread, started at the first
// request, runs them one after another. A request while a run is under way
// (or already asked for) leaves exactly one more run owed.
struct UploadWorker {
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    bool owed = false;
    bool stop = false;
    bool runOwedOnStop = true;
};

UploadWorker& Uploads() {
    // Never destroyed: the owner stops and joins the thread; a process that
    // ends without that must not run a destructor on a joinable thread.
    static UploadWorker* const worker = new UploadWorker;
    return *worker;
}

void UploadLoop() noexcept {
    UploadWorker& worker = Uploads();
    std::unique_lock<std::mutex> lock(worker.mutex);
    for (;;) {
        worker.wake.wait(lock, [&worker] { return worker.owed || worker.stop; });
        if (worker.stop && !(worker.owed && worker.runOwedOnStop)) return;
        worker.owed = false;
        lock.unlock();
        {
            std::lock_guard<std::mutex> runLock(TransferRunLock());
            SyncUploadThread();
        }
        lock.lock();
    }
}

// Set while the session ends: no transfer starts any more.
std::atomic<bool> transfersClosed{false};

}  // namespace

TransferRunners& CurrentTransferRunners() {
    static TransferRunners runners = DefaultRunners();
    return runners;
}

int32_t FireEventList() {
    WatcherState& state = State();
    int32_t result = kTransferNothingSent;
    bool ran = false;

    if (!CurrentSeams().isNetworkAlive()) {
        if (state.verbose != 0) ShowMessage(kMsgNoConnection, Caption());
        return kTransferNothingSent;
    }
    FiringReason reason;
    if (!ReadFiringReason(reason)) return kTransferNothingSent;
    const char* eventList = state.eventListPath.CStr();

    // Pass after pass while commands are pending: those that arrive during a
    // run are sent by the next pass.
    for (;;) {
        const Pending pending = PendingCommands();
        if (pending == Pending::kNone || transfersClosed.load()) break;
        ran = true;
        if (pending == Pending::kBusy) break;
        Takeover takeover = Takeover::kFailed;
        {
            std::unique_lock<std::recursive_timed_mutex> lock(state.bufferMutex, std::defer_lock);
            if (!lock.try_lock_for(kBatchLockWait)) break;
            // Nothing is lost when the file cannot be taken over: its
            // commands stay in the file and the buffer for the next cycle.
            takeover = TakeEventList();
        }
        if (takeover == Takeover::kSendListLeft) ReportSendListLeft();
        if (takeover != Takeover::kTaken) return kTransferNothingSent;
        if (state.verbose != 0) ShowMessage(ProgressMessage(reason), Caption());

        if (state.googleDriveMode != 0) {
            result = PipeTransfer(kPipeBatchFormat);
        } else {
            result = ToolTransfer(BatchCommandLine());
        }
        const bool failed = result != kTransferSuccess || ErrorFileHasContent();
        // The session ends: no upload can stand in for a failed batch, so
        // its send list stays for the next start to merge back.
        if (failed && transfersClosed.load()) return result;
        DiscardSendList();

        if (result != kTransferSuccess) ReportTransferResult(result, FiringContext(reason));
        if (failed) {
            if (state.verbose != 0) ShowMessage(kMsgUploadFallback, Caption());
            bool emptied = false;
            {
                // Commands added during the run go too: the upload that
                // follows sends the folder as it is now. A file that
                // cannot be emptied keeps them, and the buffer with it.
                std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
                emptied = EmptyEventListFile(eventList);
                if (emptied) {
                    EmptyCommandBuffer();
                    state.pendingEvents = 0;
                }
            }
            if (state.verbose != 0 && ErrorFileHasContent()) {
                ShowMessage(kMsgErrorFileLeft, Caption());
            }
            SyncUpload();
            // What stayed is tried by the next cycle, not in a loop here.
            if (!emptied) break;
        }
    }

    if (state.noIntervalDownload == 1 || transfersClosed.load()) return result;
    if (reason.interval == 1 && !ran) {
        SetTimedDownloadActive(1);
        SyncDownload();
        SetTimedDownloadActive(0);
        if (const auto ended = CurrentTransferRunners().downloadEnded) ended();
        return result;
    }
    if (state.verbose != 0) ShowMessage(kMsgDownloadSkipped, Caption());
    return result;
}

void SyncDownload() {
    WatcherState& state = State();
    if (transfersClosed.load()) return;
    if (state.googleDriveMode != 0) {
        StoreSyncResult(PipeTransfer(kPipeDownloadFormat));
    } else {
        const std::string line = SyncCommandLine(state.getConfigPath);
        if (state.dependentMode != 1) ShowMessageAsync(kMsgDownloadWarning, Caption());
        StoreSyncResult(ToolTransfer(line));
    }
    if (ErrorFileHasContent()) ShowMessage(kMsgErrorFileLeft, Caption());
    // Keeps timedDownloadActive (when the idle download set it) up for a
    // while: the tool's own writes must not come back as local changes.
    CurrentSeams().sleepMs(kAfterDownloadPauseMs);
    int32_t status = 0;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        status = state.lastSyncResult;
    }
    if (state.verbose == 1 && status != kTransferSuccess) {
        ReportTransferResult(status, kContextSyncDownload);
    }
}

void SyncUpload() {
    WatcherState& state = State();
    if (transfersClosed.load()) return;
    int32_t status = 0;
    if (state.googleDriveMode != 0) {
        status = PipeTransfer(kPipeUploadFormat);
    } else {
        if (state.dependentMode != 1) ShowMessageAsync(kMsgUploadStarts, Caption());
        status = ToolTransfer(SyncCommandLine(state.putConfigPath));
    }
    StoreSyncResult(status);
    if (status != kTransferSuccess) {
        ReportTransferResult(status, kContextSyncUpload);
        ShowMessage(kMsgSendByHand, Caption());
    }
    if (ErrorFileHasContent()) ShowMessage(kMsgErrorFileLeft, Caption());
}

void SyncChanges() {
    WatcherState& state = State();
    if (transfersClosed.load() || state.googleDriveMode != 0) return;
    if (!CurrentSeams().isNetworkAlive()) return;
    const int32_t status = ToolTransfer(SyncCommandLine(state.putConfigPath, " -changes"));
    StoreSyncResult(status);
    if (status != kTransferSuccess) {
        ReportTransferResult(status, kContextSyncUpload);
        ShowMessage(kMsgSendByHand, Caption());
    }
    if (ErrorFileHasContent()) ShowMessage(kMsgErrorFileLeft, Caption());
}

int32_t SyncUploadThread() noexcept {
    SyncUpload();
    return 0;
}

std::mutex& TransferRunLock() {
    static std::mutex* const lock = new std::mutex;  // never destroyed, like the worker
    return *lock;
}

bool RequestSyncUpload() noexcept {
    UploadWorker& worker = Uploads();
    std::lock_guard<std::mutex> lock(worker.mutex);
    if (worker.stop || transfersClosed.load()) return false;
    worker.owed = true;
    if (!worker.thread.joinable()) {
        try {
            worker.thread = std::thread(UploadLoop);
        } catch (const std::system_error&) {
            worker.owed = false;
            return false;
        }
    }
    worker.wake.notify_one();
    return true;
}

bool StopSyncUploads(bool runOwed) {
    UploadWorker& worker = Uploads();
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(worker.mutex);
        worker.stop = true;
        worker.runOwedOnStop = runOwed;
        worker.wake.notify_one();
        thread = std::move(worker.thread);
    }
    if (thread.joinable()) thread.join();
    std::lock_guard<std::mutex> lock(worker.mutex);
    const bool leftOwed = worker.owed;
    worker.owed = false;
    worker.stop = false;
    worker.runOwedOnStop = true;
    return leftOwed;
}

void CloseTransfers(bool closed) { transfersClosed = closed; }

bool TransfersClosed() { return transfersClosed.load(); }

bool SwapLineSaysDownload(const char* line) {
    if (!line) return false;
    std::string_view rest(line);
    const auto skipSpace = [&rest] {
        while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front()))) {
            rest.remove_prefix(1);
        }
    };
    const auto takeWord = [&rest] {
        std::size_t n = 0;
        while (n < rest.size() && !std::isspace(static_cast<unsigned char>(rest[n]))) ++n;
        const std::string_view word = rest.substr(0, n);
        rest.remove_prefix(n);
        return word;
    };
    skipSpace();
    if (takeWord().empty()) return false;
    skipSpace();
    // A decimal integer: an optional sign and at least one digit; the third
    // item may follow the digits at once, as a scan with "%ld %s" reads it.
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) rest.remove_prefix(1);
    std::size_t digits = 0;
    while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits]))) {
        ++digits;
    }
    if (digits == 0) return false;
    rest.remove_prefix(digits);
    skipSpace();
    return takeWord() == "get";
}

bool IsDownloadUnderway() {
    const WatcherState& state = State();
    BoundedText<1024> path;
    FormatText(path, kSwapFileFormat, state.dataDir.CStr(), state.folderKey.CStr());
    // Read through the file seam, which lets plftp delete the file meanwhile: a
    // reader that does not share deletion would leave it behind at plftp's end.
    std::string bytes;
    if (ReadWholeFile(path.CStr(), bytes) != FileResult::kOk) return false;
    const BoundedText<512> line(std::string_view(bytes).substr(0, bytes.find('\n')));
    return SwapLineSaysDownload(line.CStr());
}
