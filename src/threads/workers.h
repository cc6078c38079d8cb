// Threads that run jobs as they are handed over, and a way to wait for one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "threads/start.h"

namespace lumtab {

// Runs each job given to start() on one of its threads. A Job has a member
// `std::atomic<bool> finished`, which the worker sets once it has run the job.
template <typename Job>
class Workers {
  public:
    using Work = std::function<void(Job&)>;

    // Starts `count` threads, or as many as the system allows; any() says whether
    // there is one at all.
    Workers(unsigned count, Work work) : work_(std::move(work)) {
        for (unsigned i = 0; i < count; ++i)
            if (!try_start_thread(threads_, [this] { serve(); })) break;
    }

    ~Workers() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    bool any() const { return !threads_.empty(); }

    void start(Job& job) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(&job);
        }
        ready_.notify_one();
    }

    // Waits until `job` has finished, or `timeout` has passed.
    void wait(const Job& job, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        awaited_ = &job;
        done_.wait_for(lock, timeout, [&] { return job.finished.load(); });
        awaited_ = nullptr;
    }

  private:
    void serve() {
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = queue_.front();
                queue_.pop_front();
            }
            work_(*job);
            // Told only to a waiter of this job: the waiter sets awaited_ before it
            // looks at finished, so one of the two sees the other.
            job->finished = true;
            if (awaited_ == job) {
                std::lock_guard lock(mutex_);
                done_.notify_one();
            }
        }
    }

    Work work_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable done_;
    std::deque<Job*> queue_;
    std::atomic<const Job*> awaited_{nullptr};  // the job the other thread waits for
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace lumtab
