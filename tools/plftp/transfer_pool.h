#pragma once
// File transfers on connections of their own. A few workers, each with a
// target it logged in itself (its own connection), take the transfers the
// engine hands over, while the engine's thread goes on with its own
// connection: listing, making folders, renaming, deleting. What a transfer
// leaves to the record and the logs (its `finish`) runs on the engine's thread
// only, when the engine collects it: the record, the transfer log and the error
// file have one writer.
//
// The ordering rule: a job names the paths it writes (the target file and its
// temporary name); the engine waits (WaitFor) for every job whose paths meet
// a path before it touches that path, so commands on one path, a rename or
// delete of a folder and what is in it keep the order the engine gave them.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/plftp/transfer_target.h"

class CTransferPool {
public:
    // A target with a connection of its own, logged in; null (and `failure`) when it cannot be.
    using Connect = std::function<std::unique_ptr<CTransferTarget>(Outcome& failure)>;
    struct Job {
        // What it writes or reads, on each side.
        std::vector<std::wstring> remotePaths, localPaths;
        std::function<Outcome(CTransferTarget& remote)> work;  // on a worker's target
        std::function<void(const Outcome&)> finish;            // on the engine's thread
    };

    // Up to `workers` connections, one made for each job that waits beyond
    // the first; a work whose outcome `lost` says cost its connection, or
    // after which its target is no longer usable, ends that worker (a failed
    // job whose connection closed is queued once more). Whenever the engine's thread waits with a
    // job queued (the others logging in, or none able to), it does that job itself on the target it
    // passes, its own connection.
    CTransferPool(std::size_t workers, Connect connect, std::function<bool(const Outcome&)> lost);
    ~CTransferPool();
    CTransferPool(const CTransferPool&) = delete;
    CTransferPool& operator=(const CTransferPool&) = delete;

    // Queues `job`; while four times as many jobs as workers are unfinished,
    // waits, finishing what is done.
    void Submit(Job job, CTransferTarget& fallback);
    // Finishes what is done, and waits until no unfinished job has a path on
    // `remoteSide` for which `meets` is true.
    void WaitFor(bool remoteSide, const std::function<bool(const std::wstring&)>& meets,
                 CTransferTarget& fallback);
    void WaitAll(CTransferTarget& fallback);
    // Waits for every job, then ends the workers and their connections.
    void Close(CTransferTarget& fallback);

private:
    struct Entry {
        Job job;
        bool started = false;
        bool done = false;
        bool retried = false;  // once more after its connection failed
        Outcome outcome;
    };
    void Work();
    // One step of a wait: finishes what is done, or else does a queued job
    // here, or else sleeps until a job is done.
    void Step(CTransferTarget& fallback);

    const std::size_t workers;
    const Connect connect;
    const std::function<bool(const Outcome&)> lost;
    std::mutex mutex;
    std::condition_variable changed;
    std::list<Entry> entries;  // unfinished: queued, under way, or done and not finished
    bool stopping = false;
    std::vector<std::thread> threads;
};
