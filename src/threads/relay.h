// Threads taking turns over a stream of blocks: each takes the next block in
// turn, works on it on its own, and delivers it in turn. Blocks are taken and
// delivered in order, and the work on one overlaps the taking and delivering of
// the next: converting a large image or table this way takes every core given.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "threads/start.h"

namespace lumtab {

template <typename Block>
class Relay {
  public:
    using Take = std::function<bool(Block&)>;  // false: no block is left
    using Work = std::function<void(Block&)>;
    using Deliver = std::function<void(Block&)>;

    Relay(Take take, Work work, Deliver deliver)
        : take_(std::move(take)), work_(std::move(work)), deliver_(std::move(deliver)) {}

    // Runs until take says no block is left, on this thread and a second one if
    // `parallel` and the second can be started. What take or work throws for a
    // block is thrown again in that block's turn to be delivered, after every
    // block before it has been delivered, and no block is taken after one whose
    // take failed; what deliver throws ends the run at once.
    void run(bool parallel = true) { run_on(parallel ? 2 : 1); }

    // The same on `threads` threads, this one among them, or on as many as can be
    // started.
    void run_on(unsigned threads) {
        // Every block is made here: a failure to make one (out of memory) is then
        // thrown before any thread starts.
        std::vector<Block> blocks(std::max(threads, 1u));
        if (blocks.size() == 1) return work_alone(blocks[0]);
        std::vector<std::thread> others;
        for (std::size_t i = 1; i < blocks.size(); ++i)
            if (!try_start_thread(others, [this, &block = blocks[i]] { work_in_turns(block); }))
                break;
        if (others.empty()) return work_alone(blocks[0]);
        work_in_turns(blocks[0]);
        for (std::thread& other : others)
            other.join();
        if (failure_) std::rethrow_exception(failure_);
    }

  private:
    static constexpr std::uint64_t kStopped = ~std::uint64_t(0);

    void work_alone(Block& block) {
        while (take_(block)) {
            work_(block);
            deliver_(block);
        }
    }

    void work_in_turns(Block& block) {
        try {
            for (;;) {
                std::uint64_t ticket;
                bool more = false;
                std::exception_ptr fault;
                {
                    std::lock_guard lock(taking_);
                    if (turn_ == kStopped) return;
                    ticket = next_ticket_++;
                    try {
                        more = !take_failed_ && take_(block);
                    } catch (...) {
                        fault = std::current_exception();
                        take_failed_ = true;
                    }
                }
                if (more) {
                    try {
                        work_(block);
                    } catch (...) {
                        fault = std::current_exception();
                    }
                }
                for (std::uint64_t now = await_turn(ticket); now != ticket; now = turn_) {
                    if (now == kStopped) return;
                    turn_.wait(now);
                }
                if (fault) return stop(fault);
                if (more) deliver_(block);
                // The next turn, unless the run was stopped meanwhile.
                std::uint64_t mine = ticket;
                bool passed = turn_.compare_exchange_strong(mine, ticket + 1);
                turn_.notify_all();
                if (!passed || !more) return;
            }
        } catch (...) {
            stop(std::current_exception());
        }
    }

    // Watches for the turn `ticket`, or a stop, for a few tens of microseconds
    // before the caller sleeps: a turn often comes that soon, and waking a thread
    // that sleeps costs about as long again, on a virtual machine more.
    std::uint64_t await_turn(std::uint64_t ticket) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
        for (unsigned spins = 1;; ++spins) {
            std::uint64_t now = turn_.load(std::memory_order_acquire);
            if (now == ticket || now == kStopped) return now;
            if (spins % 64 == 0 && std::chrono::steady_clock::now() > until) return now;
        }
    }

    // Ends the run with `why`, the first failure, on every thread.
    void stop(std::exception_ptr why) {
        std::lock_guard lock(failing_);
        if (!failure_) failure_ = std::move(why);
        turn_ = kStopped;
        turn_.notify_all();
    }

    Take take_;
    Work work_;
    Deliver deliver_;
    std::mutex taking_;                   // one thread takes at a time, the blocks in order
    std::uint64_t next_ticket_ = 0;       // the order of the next block taken
    bool take_failed_ = false;            // no block is taken after one whose take failed
    std::atomic<std::uint64_t> turn_{0};  // the block to be delivered next, or kStopped
    std::mutex failing_;
    std::exception_ptr failure_;  // the first, which stops every thread
};

}  // namespace lumtab
