#include "engine/FileWorkers.h"

#include <algorithm>

FileWorkers::FileWorkers(std::size_t threadCount, std::size_t queued)
    : threadLimit(std::max<std::size_t>(threadCount, 1))
    , queueLimit(std::max<std::size_t>(queued, 1))
{
}

FileWorkers::~FileWorkers()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
        waiting.clear();
    }
    jobQueued.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

std::size_t FileWorkers::transformThreads()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores == 0 ? 2 : cores * 4, 2, 8);
}

void FileWorkers::submit(Job job, Done done)
{
    std::unique_lock lock(mutex);
    for (;;) {
        runFinished(lock);
        if (waiting.size() < queueLimit)
            break;
        jobTakenOrFinished.wait(lock, [&] { return !finished.empty() || waiting.size() < queueLimit; });
    }
    waiting.emplace_back(std::move(job), std::move(done));
    // A thread more while there are fewer than jobs to run.
    if (threads.size() < threadLimit && threads.size() < running + waiting.size())
        threads.emplace_back([this] { work(); });
    lock.unlock();
    jobQueued.notify_one();
}

void FileWorkers::finish()
{
    std::unique_lock lock(mutex);
    for (;;) {
        runFinished(lock);
        if (waiting.empty() && running == 0 && finished.empty())
            return;
        jobTakenOrFinished.wait(lock, [&] { return !finished.empty() || (waiting.empty() && running == 0); });
    }
}

void FileWorkers::runFinished(std::unique_lock<std::mutex>& lock)
{
    while (!finished.empty()) {
        Finished next = std::move(finished.front());
        finished.pop_front();
        lock.unlock();
        if (next.failure) {
            lock.lock();
            std::rethrow_exception(next.failure);
        }
        try {
            if (next.done)
                next.done();
        } catch (...) {
            lock.lock();
            throw;
        }
        lock.lock();
    }
}

void FileWorkers::work()
{
    std::unique_lock lock(mutex);
    for (;;) {
        jobQueued.wait(lock, [&] { return stopping || !waiting.empty(); });
        if (waiting.empty())
            return;
        auto [job, done] = std::move(waiting.front());
        waiting.pop_front();
        ++running;
        lock.unlock();
        jobTakenOrFinished.notify_one(); // room in the queue
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        --running;
        finished.push_back({std::move(done), failure});
        lock.unlock();
        jobTakenOrFinished.notify_one();
        lock.lock();
    }
}
