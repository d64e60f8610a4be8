// The workers that keep several files of one operation in flight.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/FileWorkers.h"

namespace {

using namespace std::chrono_literals;

} // namespace

// Two jobs that each wait for the other can only both finish when they run
// at the same time; run one after the other, the first gives up.
TEST(FileWorkers, RunsJobsAtTheSameTimeAndFinishesThemOnTheCallersThread)
{
    std::mutex mutex;
    std::condition_variable arrived;
    int present = 0;
    std::vector<bool> metTheOther;
    std::vector<std::thread::id> doneThreads;
    {
        FileWorkers workers(2, 4);
        for (int i = 0; i < 2; ++i) {
            workers.submit(
                [&] {
                    std::unique_lock lock(mutex);
                    ++present;
                    arrived.notify_all();
                    const bool met = arrived.wait_for(lock, 10s, [&] { return present == 2; });
                    metTheOther.push_back(met);
                },
                [&] { doneThreads.push_back(std::this_thread::get_id()); });
        }
        workers.finish();
    }
    EXPECT_EQ(metTheOther, (std::vector<bool>{true, true}));
    EXPECT_EQ(doneThreads, (std::vector<std::thread::id>(2, std::this_thread::get_id())));
}

// Memory stays bounded: no more jobs run than threads and no more wait than
// the queue holds, whatever the number submitted; every job runs once.
TEST(FileWorkers, KeepsTheJobsInFlightBoundedAndRunsEachOnce)
{
    std::atomic<int> running {0};
    std::atomic<int> mostRunning {0};
    std::atomic<int> ran {0};
    int done = 0;
    FileWorkers workers(3, 2);
    for (int i = 0; i < 200; ++i) {
        workers.submit(
            [&] {
                const int now = ++running;
                int seen = mostRunning.load();
                while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(100us);
                --running;
                ++ran;
            },
            [&] { ++done; });
        // Never more submitted and unfinished than run plus wait.
        EXPECT_LE(i + 1 - done, 3 + 2 + 1);
    }
    workers.finish();
    EXPECT_EQ(ran.load(), 200);
    EXPECT_EQ(done, 200);
    EXPECT_LE(mostRunning.load(), 3);
}

// A job's escaped failure reaches the caller once the others have stopped;
// the jobs already queued are dropped when the caller leaves.
TEST(FileWorkers, HandsAnEscapedFailureToTheCaller)
{
    FileWorkers workers(1, 8);
    workers.submit([] { throw std::runtime_error("job failed"); });
    EXPECT_THROW(workers.finish(), std::runtime_error);
    int ran = 0;
    workers.submit([&] { ++ran; });
    workers.finish();
    EXPECT_EQ(ran, 1);
}
