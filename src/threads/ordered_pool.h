// Work done on several threads and delivered in the order it was handed over, on
// the thread that hands it over: a stream of blocks that can each be compressed on
// their own, written in turn.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "threads/start.h"

namespace lumtab {

template <typename Item>
class OrderedPool {
  public:
    using Work = std::function<void(Item&)>;
    using Deliver = std::function<void(Item&)>;

    // Works on `threads` threads besides this one, or as many as the system
    // allows, with at most `most_in_flight` items in hand (at least 1), or by
    // default two a thread; with no thread, submit() does the work itself.
    OrderedPool(unsigned threads, Work work, Deliver deliver, std::size_t most_in_flight = 0)
        : work_(std::move(work)), deliver_(std::move(deliver)) {
        for (unsigned i = 0; i < threads; ++i)
            if (!try_start_thread(threads_, [this] { serve(); })) break;
        most_in_flight_ = most_in_flight != 0 ? most_in_flight : 2 * threads_.size();
    }

    ~OrderedPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
    }
    OrderedPool(const OrderedPool&) = delete;
    OrderedPool& operator=(const OrderedPool&) = delete;

    // Hands over the next item, delivering those before it that are done; waits
    // while too many are in hand. Throws what the work or delivery of an earlier
    // item threw.
    void submit(Item item) {
        if (threads_.empty()) {
            work_(item);
            return deliver_(item);
        }
        std::unique_lock lock(mutex_);
        slots_.push_back({std::move(item), false, nullptr});
        pending_.push_back(&slots_.back());
        ready_.notify_one();
        deliver_done(lock, most_in_flight_);
    }

    // Delivers every item handed over, waiting for their work.
    void finish() {
        if (threads_.empty()) return;
        std::unique_lock lock(mutex_);
        deliver_done(lock, 0);
    }

  private:
    struct Slot {
        Item item;
        bool done;
        std::exception_ptr failure;
    };

    // Delivers the items at the front as they are done, until at most `keep`
    // remain in hand.
    void deliver_done(std::unique_lock<std::mutex>& lock, std::size_t keep) {
        for (;;) {
            while (!slots_.empty() && slots_.front().done) {
                Slot slot = std::move(slots_.front());
                slots_.pop_front();
                lock.unlock();
                if (slot.failure) std::rethrow_exception(slot.failure);
                deliver_(slot.item);
                lock.lock();
            }
            if (slots_.size() <= keep) return;
            done_.wait(lock);
        }
    }

    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
            if (pending_.empty()) return;
            Slot* slot = pending_.front();
            pending_.pop_front();
            lock.unlock();
            try {
                work_(slot->item);
            } catch (...) {
                slot->failure = std::current_exception();
            }
            lock.lock();
            slot->done = true;
            done_.notify_all();
        }
    }

    Work work_;
    Deliver deliver_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable done_;
    std::deque<Slot> slots_;     // in hand, in order; a deque keeps their places
    std::deque<Slot*> pending_;  // not yet taken by a thread
    std::size_t most_in_flight_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace lumtab
