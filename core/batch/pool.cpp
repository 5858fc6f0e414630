#include "pool.hpp"

#include <algorithm>
#include <system_error>

namespace greekmill::batch {

WorkerPool::WorkerPool(unsigned workers) noexcept {
    try {
        threads_.reserve(workers);
        for (unsigned i = 0; i < workers; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    } catch (...) {
        // No memory or no more threads: the pool works with what it has
        // (possibly none, and then every call runs on its caller).
    }
}

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

bool WorkerPool::take(Job& job, std::size_t& chunk) noexcept {
    if (job.next == job.chunks) {
        return false;
    }
    chunk = job.next++;
    return true;
}

void WorkerPool::run(std::size_t chunks, unsigned threads, Task task, void* context) noexcept {
    if (chunks == 0) {
        return;
    }
    const unsigned helpers = std::min<std::size_t>(
        {static_cast<std::size_t>(threads > 0 ? threads - 1 : 0), threads_.size(), chunks - 1});
    if (helpers == 0) {
        for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
            task(context, chunk);
        }
        return;
    }
    Job job{task, context, chunks, 0, 0, helpers};
    std::unique_lock lock(mutex_);
    jobs_.push_back(&job);
    lock.unlock();
    if (helpers == 1) {
        work_available_.notify_one();
    } else {
        work_available_.notify_all();
    }
    lock.lock();
    std::size_t chunk;
    while (take(job, chunk)) {
        lock.unlock();
        task(context, chunk);
        lock.lock();
        ++job.finished;
    }
    // No chunk is left to hand out: the job leaves the queue, then the caller
    // waits for the chunks still running on workers.
    std::erase(jobs_, &job);
    job_finished_.wait(lock, [&] { return job.finished == job.chunks; });
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
                if (candidate->helpers_wanted > 0 && candidate->next < candidate->chunks) {
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
            job->task(job->context, chunk);
            lock.lock();
            if (++job->finished == job->chunks) {
                job_finished_.notify_all();
            }
        }
    }
}

}  // namespace greekmill::batch
