#pragma once
// The runs of the transfer tool (or, in Google Drive mode, the requests to the
// tray application): the batch firing of the buffered commands and the two
// whole-folder synchronisations, the process launcher, and the test of the
// tool's swap file.
//
// Threads: the runs are synchronous on the calling thread (the sync timer
// thread, the dialog thread at start-up and shutdown, a SyncUploadThread).
// bufferMutex is taken only around the hand-over of the event list file, the
// emptying of the buffer and the stores of the run state; never while the tool
// or the pipe runs, so changes keep being buffered meanwhile.

#include <cstdint>
#include <mutex>

// The two ways a transfer is made, replaceable so that the firing's decisions
// can be tested without processes or pipes. Start with RunProcess and
// TrayPipeRequest. Part of the seam table (app/seam_table.h).
struct TransferRunners {
    int32_t (*runProcess)(const char* commandLine, uint32_t& childProcessId,
                          uint32_t& errorCode) = nullptr;
    int32_t (*trayPipeRequest)(const char* subject, const char* command) = nullptr;
    // Told (on the timer thread) when an idle download and the pause after it
    // are over: the changes held meanwhile are to be handled. May be null.
    void (*downloadEnded)() = nullptr;
};
TransferRunners& CurrentTransferRunners();

// Hands the buffered commands to the tool as a send list file, pass after pass
// while the event list file has commands; a failed pass is reported and
// replaced by a SyncUpload. Returns 1 when nothing was sent (network down, no
// commands, the lock not had within 1000 ms, or the event list file could not
// be taken over, in which case nothing was touched), else the status of the
// last transfer run. After an interval with nothing to send it runs the idle
// SyncDownload (timedDownloadActive set meanwhile).
int32_t FireEventList();

// Whole-folder synchronisations ("Local <= Remote", "Local => Remote"); the
// status goes to lastSyncResult.
void SyncDownload();
void SyncUpload();

// The start's send of what changed in the folder while no watcher ran: the
// tool compares the folder with its sync record and sends only the
// difference (new, changed and deleted items); nothing at all without a
// network, in Google Drive mode (the tray application keeps the folder), or
// when it is closed. A failure is reported as SyncUpload's is.
void SyncChanges();

// Thread body of the immediate mode's upload: runs SyncUpload, returns 0.
int32_t SyncUploadThread() noexcept;

// Immediate mode: asks for a whole-folder upload after a change. The uploads
// run one at a time on one worker thread (started at the first request); a
// request while one runs, or is already asked for, leaves exactly one more run
// owed, made when the running one ends, so a change the running upload has
// already passed by is still sent. False when nothing could be asked for (no
// thread, or the worker is stopping).
bool RequestSyncUpload() noexcept;

// Stops the upload worker: a run under way is let to finish (it is what sends
// the user's changes); with `runOwed` an owed run is made first. Returns
// whether a run was still owed and not made. The worker can be asked again
// afterwards.
bool StopSyncUploads(bool runOwed);

// One transfer at a time per watcher: the timer's firings and the worker's
// uploads hold this lock around their runs, so the tool never refuses a run
// because another one of this watcher is under way.
std::mutex& TransferRunLock();

// While closed (the session ends), no transfer starts: FireEventList sends
// nothing more (a failed batch keeps its send list, for the next start to merge
// back), SyncUpload and SyncDownload do nothing, and uploads cannot be asked.
void CloseTransfers(bool closed);
bool TransfersClosed();

// Starts `commandLine` (ANSI), waits for it and returns its exit code: 99 when
// it could not be started (errorCode gets the system error), 259 when a shown
// program ("NOTEPAD.EXE", "BCompare.exe") still runs after one second.
int32_t RunProcess(const char* commandLine, uint32_t& childProcessId, uint32_t& errorCode);

// Whether the first line of the tool's swap file ("<dataDir>\<folderKey>_.plftp.swap")
// reads "<word> <integer> get".
bool IsDownloadUnderway();

// The swap file line test on its own: a word, a decimal integer and a third
// item that is exactly "get", separated by white space. Items of any length
// are read whole.
bool SwapLineSaysDownload(const char* line);
