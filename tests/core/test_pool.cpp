// The worker pool: every chunk runs exactly once, on any number of threads;
// a watch that says stop cancels the job, and run returns only once no chunk
// of it is running, chunks not yet begun never starting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include "batch/pool.hpp"

namespace greekmill::batch {
namespace {

struct Counts {
    std::vector<std::atomic<int>> runs;
    std::atomic<int> running{0};
    std::atomic<int> most_running{0};
    std::chrono::microseconds chunk_time{0};

    explicit Counts(std::size_t chunks) : runs(chunks) {}

    static void task(void* context, std::size_t chunk, const std::atomic<bool>& stop) noexcept {
        auto& self = *static_cast<Counts*>(context);
        const int now = ++self.running;
        int most = self.most_running.load();
        while (now > most && !self.most_running.compare_exchange_weak(most, now)) {
        }
        // A long chunk, in steps that look at stop, like the array kernels.
        // Timed by the clock, not by counting sleeps: a short sleep may
        // return at once (mingw-w64's runtime rounds it down to 0 ms).
        const auto end = std::chrono::steady_clock::now() + self.chunk_time;
        while (std::chrono::steady_clock::now() < end && !stop.load()) {
            std::this_thread::sleep_for(self.chunk_time / 10);
        }
        ++self.runs[chunk];
        --self.running;
    }
};

TEST(WorkerPool, RunsEveryChunkOnceOnAnyNumberOfThreads) {
    WorkerPool pool(3);
    ASSERT_EQ(pool.workers(), 3u);
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        for (std::size_t chunks : {std::size_t{1}, std::size_t{2}, std::size_t{97}}) {
            Counts counts(chunks);
            EXPECT_TRUE(pool.run(chunks, threads, Counts::task, &counts, Watch{}));
            for (std::size_t c = 0; c < chunks; ++c) {
                EXPECT_EQ(counts.runs[c].load(), 1) << threads << " threads, chunk " << c;
            }
            EXPECT_LE(counts.most_running.load(), static_cast<int>(threads));
        }
    }
}

struct StopAfter {
    int checks_left;
    int checks = 0;
    static bool check(void* context) noexcept {
        auto& self = *static_cast<StopAfter*>(context);
        ++self.checks;
        return --self.checks_left > 0;
    }
};

TEST(WorkerPool, AWatchThatSaysStopCancelsTheJobAndWaitsForRunningChunks) {
    WorkerPool pool(2);
    for (unsigned threads : {1u, 2u}) {
        const std::size_t chunks = 1000;
        Counts counts(chunks);
        counts.chunk_time = std::chrono::milliseconds(20);
        StopAfter stop{2};
        const Watch watch{StopAfter::check, &stop, std::chrono::milliseconds(5)};
        EXPECT_FALSE(pool.run(chunks, threads, Counts::task, &counts, watch));
        EXPECT_EQ(stop.checks, 2);
        EXPECT_EQ(counts.running.load(), 0) << "a chunk still runs after run returned";
        std::size_t ran = 0;
        for (std::size_t c = 0; c < chunks; ++c) {
            ran += static_cast<std::size_t>(counts.runs[c].load());
        }
        EXPECT_LT(ran, chunks);
        // Nothing of the cancelled job starts later.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::size_t later = 0;
        for (std::size_t c = 0; c < chunks; ++c) {
            later += static_cast<std::size_t>(counts.runs[c].load());
        }
        EXPECT_EQ(later, ran);
        // The pool serves the next job whole.
        Counts next(64);
        EXPECT_TRUE(pool.run(64, threads, Counts::task, &next, Watch{}));
        for (std::size_t c = 0; c < 64; ++c) {
            EXPECT_EQ(next.runs[c].load(), 1);
        }
    }
}

TEST(WorkerPool, AWatchThatSaidStopIsNotAskedAgainWhileTheJobDrains) {
    // The bindings' watch leaves an exception set when it says stop: a later
    // call would run Python code with it set.  Chunks here drain in 4 ms
    // steps, several watch intervals.
    WorkerPool pool(2);
    Counts counts(100);
    counts.chunk_time = std::chrono::milliseconds(40);
    StopAfter stop{1};
    const Watch watch{StopAfter::check, &stop, std::chrono::milliseconds(1)};
    EXPECT_FALSE(pool.run(100, 2, Counts::task, &counts, watch));
    EXPECT_EQ(stop.checks, 1);
    EXPECT_EQ(counts.running.load(), 0);
}

TEST(WorkerPool, WithoutWorkersTheCallerRunsTheChunksAndStillWatches) {
    WorkerPool pool(0);
    Counts counts(500);
    counts.chunk_time = std::chrono::milliseconds(2);
    StopAfter stop{1};
    const Watch watch{StopAfter::check, &stop, std::chrono::milliseconds(1)};
    EXPECT_FALSE(pool.run(500, 4, Counts::task, &counts, watch));
    EXPECT_EQ(stop.checks, 1);
    EXPECT_GT(counts.runs[0].load(), 0);
    EXPECT_EQ(counts.runs[499].load(), 0);
}

}  // namespace
}  // namespace greekmill::batch
