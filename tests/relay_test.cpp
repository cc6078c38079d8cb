#include "threads/relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace lumtab;

struct Block {
    int number = -1;
};

struct Fault : std::runtime_error {
    explicit Fault(int block) : std::runtime_error(std::to_string(block)), block(block) {}
    int block;
};

// Runs a relay over `count` blocks whose work takes random times; take or work
// throws Fault for the blocks given. Returns the blocks delivered and the fault.
struct Outcome {
    std::vector<int> delivered;
    std::optional<int> fault;
    int taken = 0;
};

Outcome run(int count, bool parallel, std::vector<int> take_faults, std::vector<int> work_faults) {
    Outcome outcome;
    std::mt19937 random(count);
    std::vector<int> pauses(count);
    for (int& pause : pauses)
        pause = static_cast<int>(random() % 300);
    auto has = [](const std::vector<int>& list, int n) {
        return std::find(list.begin(), list.end(), n) != list.end();
    };
    Relay<Block> relay(
        [&](Block& block) {
            if (outcome.taken == count) return false;
            block.number = outcome.taken++;
            if (has(take_faults, block.number)) throw Fault(block.number);
            return true;
        },
        [&](Block& block) {
            std::this_thread::sleep_for(std::chrono::microseconds(pauses[block.number]));
            if (has(work_faults, block.number)) throw Fault(block.number);
        },
        [&](Block& block) { outcome.delivered.push_back(block.number); });
    try {
        relay.run(parallel);
    } catch (const Fault& fault) {
        outcome.fault = fault.block;
    }
    return outcome;
}

std::vector<int> first(int count) {
    std::vector<int> numbers(count);
    for (int i = 0; i < count; ++i)
        numbers[i] = i;
    return numbers;
}

TEST(Relay, DeliversInOrderAndThrowsTheFirstFaultInItsTurn) {
    const struct {
        std::vector<int> take_faults, work_faults;
        std::optional<int> fault;
    } cases[] = {
        {{}, {}, std::nullopt}, {{}, {7}, 7},   {{}, {8, 7}, 7},  // block 8's work may end first
        {{12}, {}, 12},         {{12}, {3}, 3}, {{0}, {}, 0},
    };
    for (bool parallel : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(parallel ? "two threads" : "one thread") + ", fault " +
                         (c.fault ? std::to_string(*c.fault) : "none"));
            for (int attempt = 0; attempt < 20; ++attempt) {
                Outcome outcome = run(40, parallel, c.take_faults, c.work_faults);
                EXPECT_EQ(outcome.fault, c.fault);
                EXPECT_EQ(outcome.delivered, first(c.fault.value_or(40)));
                // Nothing is taken after a block whose take failed, and at most
                // one block after one whose work failed.
                if (!c.take_faults.empty() && c.fault == c.take_faults[0]) {
                    EXPECT_EQ(outcome.taken, *c.fault + 1);
                } else if (c.fault) {
                    EXPECT_LE(outcome.taken, *c.fault + 2);
                }
            }
        }
    }
}

// A block that cannot be made is a failure thrown to the caller, not an abort.
TEST(Relay, ThrowsWhatMakingABlockThrows) {
    struct Greedy {
        Greedy() { throw std::bad_alloc(); }
    };
    Relay<Greedy> relay([](Greedy&) { return false; }, [](Greedy&) {}, [](Greedy&) {});
    EXPECT_THROW(relay.run(), std::bad_alloc);
}

}  // namespace
