#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Keeps several files of one operation in flight: while one file is read
// from the disk another is encrypted and a third written, and independent
// files are encrypted on every core (a CBC chain is serial within a file,
// not across files). Jobs run on a few threads; what follows a job (its
// bookkeeping, step boundaries, progress) runs on the caller's thread, in
// the order the jobs finished. At most `threads` jobs run and at most
// `queued` wait, so memory stays bounded whatever the number of files.
class FileWorkers {
public:
    using Job = std::function<void()>;
    using Done = std::function<void()>;

    FileWorkers(std::size_t threads, std::size_t queued);
    // Drops the jobs not yet started and waits for the running ones.
    ~FileWorkers();
    FileWorkers(const FileWorkers&) = delete;
    FileWorkers& operator=(const FileWorkers&) = delete;

    // Queues job; done runs on this thread once it finished. While the
    // queue is full, finished jobs' done calls run here. A job should
    // catch its own failures: anything it lets escape is thrown here or
    // from finish() once the running jobs have stopped.
    void submit(Job job, Done done = {});
    // Waits for every job, running their done calls as they finish.
    void finish();

    // Threads for transforms: both cores encrypt, and while files wait for
    // the disk others are encrypted. Four a core (at most eight): on two
    // cores, eight added a folder of photos about 8% faster than four.
    static std::size_t transformThreads();

private:
    struct Finished {
        Done done;
        std::exception_ptr failure;
    };
    void work();
    // Runs the done calls of finished jobs; the lock is released meanwhile.
    void runFinished(std::unique_lock<std::mutex>& lock);

    std::size_t threadLimit;
    std::size_t queueLimit;
    std::vector<std::thread> threads;
    std::mutex mutex;
    // Two signals, so that a job queued wakes one thread and a job finished
    // wakes only the caller: one for all made every event wake every thread.
    std::condition_variable jobQueued;
    std::condition_variable jobTakenOrFinished;
    std::deque<std::pair<Job, Done>> waiting;
    std::deque<Finished> finished;
    std::size_t running = 0;
    bool stopping = false;
};
