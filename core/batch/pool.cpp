#include "pool.hpp"

#include <algorithm>

namespace greekmill::batch {

bool run_on_caller(std::size_t chunks, Task task, void* context, const Watch& watch) noexcept {
    const std::atomic<bool> never{false};
    auto next_check = std::chrono::steady_clock::now() + watch.interval;
    for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        if (watch.check != nullptr && std::chrono::steady_clock::now() >= next_check) {
            if (!watch.check(watch.context)) {
                return false;
            }
            next_check = std::chrono::steady_clock::now() + watch.interval;
        }
        task(context, chunk, never);
    }
    return true;
}

WorkerPool::WorkerPool(unsigned workers) noexcept { grow(workers); }

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_available_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void WorkerPool::grow(unsigned workers) noexcept {
    std::lock_guard lock(mutex_);
    try {
        threads_.reserve(workers);
        while (threads_.size() < workers) {
            threads_.emplace_back([this] { work(); });
            started_.store(static_cast<unsigned>(threads_.size()), std::memory_order_relaxed);
        }
    } catch (...) {
        // No memory or no more threads: the pool works with what it has
        // (possibly none, and then every call runs on its caller); the next
        // call tries again.
    }
}

bool WorkerPool::take(Job& job, std::size_t& chunk) noexcept {
    if (job.next == job.chunks || job.stop.load(std::memory_order_relaxed)) {
        return false;
    }
    chunk = job.next++;
    return true;
}

bool WorkerPool::settled(const Job& job) noexcept {
    return job.finished == job.next &&
           (job.next == job.chunks || job.stop.load(std::memory_order_relaxed));
}

bool WorkerPool::run(std::size_t chunks, unsigned threads, Task task, void* context,
                     const Watch& watch) noexcept {
    const std::size_t helpers = std::min<std::size_t>({threads, workers(), chunks});
    if (helpers == 0) {
        return run_on_caller(chunks, task, context, watch);
    }
    Job job{task, context, chunks, 0, 0, static_cast<unsigned>(helpers)};
    std::unique_lock lock(mutex_);
    jobs_.push_back(&job);
    lock.unlock();
    if (helpers == 1) {
        work_available_.notify_one();
    } else {
        work_available_.notify_all();
    }
    lock.lock();
    if (watch.check != nullptr) {
        while (!job_finished_.wait_for(lock, watch.interval, [&] { return settled(job); })) {
            lock.unlock();
            const bool go_on = watch.check(watch.context);
            lock.lock();
            if (!go_on) {
                // Asked once: the watcher's answer stands (it may hold an
                // exception that no later call may see) while the chunks
                // already running drain.
                job.stop.store(true, std::memory_order_relaxed);
                break;
            }
        }
    }
    job_finished_.wait(lock, [&] { return settled(job); });
    // Settled: no worker holds the job any more, and none can take it.
    std::erase(jobs_, &job);
    return !job.stop.load(std::memory_order_relaxed);
}

void WorkerPool::work() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        Job* job = nullptr;
        work_available_.wait(lock, [&] {
            if (stopping_) {
                return true;
            }
            for (Job* candidate : jobs_) {
                if (candidate->helpers_wanted > 0 && candidate->next < candidate->chunks &&
                    !candidate->stop.load(std::memory_order_relaxed)) {
                    job = candidate;
                    return true;
                }
            }
            return false;
        });
        if (stopping_) {
            return;
        }
        --job->helpers_wanted;
        std::size_t chunk;
        while (take(*job, chunk)) {
            lock.unlock();
            job->task(job->context, chunk, job->stop);
            lock.lock();
            ++job->finished;
            if (settled(*job)) {
                job_finished_.notify_all();
            }
        }
    }
}

}  // namespace greekmill::batch
