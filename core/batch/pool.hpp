// A pool of worker threads made once and reused by every array call.  A job
// is a number of chunks; the calling thread works on its own job too, and up
// to `threads - 1` workers join it.  Several jobs may run at once (calls from
// several Python threads): each worker takes chunks from the oldest job that
// still has some and room for another thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace greekmill::batch {

class WorkerPool {
public:
    // task(context, chunk) is called once for every chunk in [0, chunks).
    using Task = void (*)(void* context, std::size_t chunk) noexcept;

    // Starts up to `workers` threads; fewer if the system refuses some.
    explicit WorkerPool(unsigned workers) noexcept;
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    [[nodiscard]] unsigned workers() const noexcept {
        return static_cast<unsigned>(threads_.size());
    }

    // Runs every chunk on at most `threads` threads, the caller included, and
    // returns when all are done.  With threads <= 1 or no workers the caller
    // does everything.
    void run(std::size_t chunks, unsigned threads, Task task, void* context) noexcept;

private:
    struct Job {
        Task task;
        void* context;
        std::size_t chunks;
        std::size_t next = 0;      // next chunk to hand out
        std::size_t finished = 0;  // chunks done
        unsigned helpers_wanted;   // workers that may still join
    };

    void work() noexcept;
    // Takes the next chunk of `job` under the lock; false when none is left.
    static bool take(Job& job, std::size_t& chunk) noexcept;

    std::mutex mutex_;
    std::condition_variable work_available_;
    std::condition_variable job_finished_;
    std::deque<Job*> jobs_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

}  // namespace greekmill::batch
