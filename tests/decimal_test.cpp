// The decimal primitives against the standard library they stand in for: each
// float's text as std::to_chars writes it, and decimals read as std::from_chars
// reads them. Every 1021st float in an ordinary run; every one of the 2^32 with
// LUMTAB_EXHAUSTIVE=1 in the environment: some three minutes on two cores for
// writing, which CI runs, and twenty for reading.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "text/decimal.h"

namespace {

using lumtab::decimal::parse_quickly;
using lumtab::decimal::shortest;

// Every how many floats are checked.
std::uint64_t stride() {
    const char* exhaustive = std::getenv("LUMTAB_EXHAUSTIVE");
    return exhaustive != nullptr && std::string_view(exhaustive) == "1" ? 1 : 1021;
}

// Calls `check` with the bits of every stride()th float, on every processor;
// returns how many checks failed, after reporting the first few.
template <typename Check>
std::uint64_t failures_over_floats(const Check& check) {
    const std::uint64_t stride = ::stride();
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::atomic<std::uint64_t> failures{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (std::uint64_t bits = t * stride; bits <= 0xffffffff; bits += threads * stride)
                if (!check(static_cast<std::uint32_t>(bits)) && failures++ < 10)
                    ADD_FAILURE() << "float bits " << std::hex << bits;
        });
    for (std::thread& worker : workers)
        worker.join();
    return failures;
}

TEST(Decimal, WritesEveryFloatAsToCharsDoes) {
    EXPECT_EQ(failures_over_floats([](std::uint32_t bits) {
                  const float value = std::bit_cast<float>(bits);
                  char ours[lumtab::decimal::kFloatScratch], theirs[32];
                  const char* end = shortest(value, ours);
                  const std::string_view reference(theirs,
                                                   std::to_chars(theirs, theirs + 32, value).ptr);
                  return std::string_view(ours, end) == reference;
              }),
              0u);
}

// Whether parse_quickly reads `text` as from_chars does, or leaves it alone.
bool reads_as_from_chars(std::string_view text, std::atomic<std::uint64_t>& quick) {
    float ours = 42, theirs = 42;
    const char* end = parse_quickly(text.data(), text.data() + text.size(), ours);
    if (end == nullptr) return true;
    ++quick;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), theirs);
    return error == std::errc() && stop == end &&
           std::bit_cast<std::uint32_t>(ours) == std::bit_cast<std::uint32_t>(theirs);
}

// Each float's shortest text and its nine digits (numpy's '%.9g'), and the
// midpoint to the next float in 17 and 12 digits: the texts nearest to where
// rounding in double first and then to float could go wrong.
TEST(Decimal, ReadsDecimalsAsFromCharsDoes) {
    std::atomic<std::uint64_t> quick{0};
    EXPECT_EQ(
        failures_over_floats([&quick](std::uint32_t bits) {
            const float value = std::bit_cast<float>(bits);
            if (value != value) return true;
            const double midpoint = (double(value) + double(std::bit_cast<float>(bits + 1))) / 2;
            char text[64];
            auto text_of = [&](std::to_chars_result made) {
                return std::string_view(text, made.ptr);
            };
            return reads_as_from_chars(text_of(std::to_chars(text, text + 64, value)), quick) &&
                   reads_as_from_chars(text_of(std::to_chars(text, text + 64, value,
                                                             std::chars_format::general, 9)),
                                       quick) &&
                   reads_as_from_chars(text_of(std::to_chars(text, text + 64, midpoint,
                                                             std::chars_format::scientific, 16)),
                                       quick) &&
                   reads_as_from_chars(text_of(std::to_chars(text, text + 64, midpoint,
                                                             std::chars_format::scientific, 11)),
                                       quick);
        }),
        0u);
    // Those of normal floats not too far from 1, a third and more, are read here.
    const std::uint64_t floats = (std::uint64_t(1) << 32) / stride();
    EXPECT_GT(quick.load() * 3, floats * 4);
    const char* texts[] = {"1.",
                           ".5",
                           "-.5",
                           ".",
                           "-",
                           "1e",
                           "1e+",
                           "2E-3",
                           "0x1p3",
                           "inf",
                           "nan",
                           "1e50",
                           "1e-50",
                           "1e-40",
                           "-0",
                           "-0.0e99999",
                           "1.5x",
                           "00012.5e-0001",
                           "3.4028235e38",
                           "3.4028236e38",
                           "16777217",
                           "16777219",
                           "12345678901234567890",
                           "0.00000000000000000000123",
                           "9007199254740993e-10",
                           "1e-5 1e5"};
    for (const char* text : texts)
        EXPECT_TRUE(reads_as_from_chars(text, quick)) << text;
}

}  // namespace
