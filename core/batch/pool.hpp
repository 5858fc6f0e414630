// A pool of worker threads made once and reused by every array call.  A job
// is a number of chunks that up to `threads` workers take one at a time while
// the calling thread waits and, every so often, asks its watcher whether to go
// on (the bindings check for a pending signal there and report progress).
// Several jobs may run at once (calls from several Python threads): each
// worker takes chunks from the oldest job that still has some and room for
// another thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace greekmill::batch {

// task(context, chunk, stop) runs one chunk.  `stop` turns true when the job is
// cancelled; a long chunk may return early when it sees it.
using Task = void (*)(void* context, std::size_t chunk, const std::atomic<bool>& stop) noexcept;

// The waiting caller's hook, called on the caller's thread about every
// `interval` while a job runs; returning false cancels the job, and then it
// is never called again for that job.  Without a check the caller just waits.
struct Watch {
    bool (*check)(void* context) noexcept = nullptr;
    void* context = nullptr;
    std::chrono::milliseconds interval{50};
};

// Runs the chunks on the calling thread, calling the watch between chunks.
// Returns false when the watch cancelled the job.
bool run_on_caller(std::size_t chunks, Task task, void* context, const Watch& watch) noexcept;

class WorkerPool {
public:
    // Starts up to `workers` threads; fewer if the system refuses some.
    explicit WorkerPool(unsigned workers) noexcept;
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    [[nodiscard]] unsigned workers() const noexcept {
        return started_.load(std::memory_order_relaxed);
    }

    // Starts threads until `workers` run: a start the system refused earlier
    // (no memory, a thread limit) is tried again.
    void grow(unsigned workers) noexcept;

    // Runs every chunk on up to `threads` workers while the caller waits and
    // watches; with no worker the caller runs the chunks itself.  Returns
    // true when every chunk ran; false when the watch cancelled the job, and
    // then no chunk is running any more and the rest never start.
    bool run(std::size_t chunks, unsigned threads, Task task, void* context,
             const Watch& watch) noexcept;

private:
    struct Job {
        Task task;
        void* context;
        std::size_t chunks;
        std::size_t next = 0;      // next chunk to hand out
        std::size_t finished = 0;  // chunks that have returned
        unsigned helpers_wanted;   // workers that may still join
        std::atomic<bool> stop{false};
    };

    void work() noexcept;
    // Takes the next chunk of `job` under the lock; false when none is left
    // or the job was cancelled.
    static bool take(Job& job, std::size_t& chunk) noexcept;
    // No chunk of `job` runs and none will start.
    static bool settled(const Job& job) noexcept;

    std::mutex mutex_;
    std::condition_variable work_available_;
    std::condition_variable job_finished_;
    std::deque<Job*> jobs_;
    std::vector<std::thread> threads_;
    std::atomic<unsigned> started_{0};
    bool stopping_ = false;
};

}  // namespace greekmill::batch
