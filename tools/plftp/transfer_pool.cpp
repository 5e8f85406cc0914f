#include "tools/plftp/transfer_pool.h"

#include <algorithm>
#include <iterator>
#include <utility>

CTransferPool::CTransferPool(std::size_t workers, Connect connect,
                             std::function<bool(const Outcome&)> lost)
    : workers(std::max<std::size_t>(workers, 1)),
      connect(std::move(connect)),
      lost(std::move(lost)) {}

CTransferPool::~CTransferPool() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    for (std::thread& thread : threads) thread.join();
}

void CTransferPool::Work() {
    Outcome failure;
    std::unique_ptr<CTransferTarget> target = connect(failure);
    std::unique_lock lock(mutex);
    if (target) {
        for (;;) {
            const auto next =
                std::ranges::find_if(entries, [](const Entry& e) { return !e.started; });
            if (next == entries.end()) {
                if (stopping) break;
                changed.wait(lock);
                continue;
            }
            next->started = true;
            lock.unlock();
            Outcome outcome = next->job.work(*target);
            lock.lock();
            // A transfer that failed with its connection goes once more, on
            // another one; this worker ends with its connection.
            const bool gone = !target->Usable();
            if (!outcome && gone && !next->retried) {
                next->started = false;
                next->retried = true;
            } else {
                next->outcome = std::move(outcome);
                next->done = true;
            }
            changed.notify_all();
            if (gone || (lost && lost(next->outcome))) break;
        }
    }
    changed.notify_all();
    lock.unlock();
    target.reset();  // its connection ends here, outside the lock
}

void CTransferPool::Step(CTransferTarget& fallback) {
    std::list<Entry> done;
    std::list<Entry>::iterator here;
    {
        std::unique_lock lock(mutex);
        auto queued = [&] {
            return std::ranges::find_if(entries, [](const Entry& e) { return !e.started; });
        };
        auto anyDone = [&] {
            return std::ranges::any_of(entries, [](const Entry& e) { return e.done; });
        };
        changed.wait(lock, [&] { return anyDone() || queued() != entries.end(); });
        for (auto it = entries.begin(); it != entries.end();) {
            const auto current = it++;
            if (current->done) done.splice(done.end(), entries, current);
        }
        if (done.empty()) {
            here = queued();
            here->started = true;
        }
    }
    if (done.empty()) {
        // The engine's thread has nothing else to do: it takes a transfer on
        // its own connection (the only one while the others log in).
        Outcome outcome = here->job.work(fallback);
        std::lock_guard lock(mutex);
        here->outcome = std::move(outcome);
        here->done = true;
        return;
    }
    for (Entry& entry : done) entry.job.finish(entry.outcome);
}

void CTransferPool::Submit(Job job, CTransferTarget& fallback) {
    {
        std::lock_guard lock(mutex);
        entries.push_back(Entry{std::move(job), false, false, false, Outcome::Ok()});
        // A connection more for every transfer waiting beyond the first: a
        // run of one file logs in no other.
        const auto waiting =
            std::ranges::count_if(entries, [](const Entry& e) { return !e.started; });
        if (waiting >= 2 && threads.size() < workers) {
            stopping = false;
            threads.emplace_back([this] { Work(); });
        }
    }
    changed.notify_all();
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (entries.size() < 4 * workers) return;
        }
        Step(fallback);
    }
}

void CTransferPool::WaitFor(bool remoteSide, const std::function<bool(const std::wstring&)>& meets,
                            CTransferTarget& fallback) {
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (std::ranges::none_of(entries, [&](const Entry& e) {
                    return std::ranges::any_of(remoteSide ? e.job.remotePaths : e.job.localPaths,
                                               meets);
                })) {
                return;
            }
        }
        Step(fallback);
    }
}

void CTransferPool::WaitAll(CTransferTarget& fallback) {
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (entries.empty()) return;
        }
        Step(fallback);
    }
}

void CTransferPool::Close(CTransferTarget& fallback) {
    WaitAll(fallback);
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    for (std::thread& thread : threads) thread.join();
    threads.clear();
}
