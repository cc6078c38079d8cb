// The scalar kernel, which every processor runs, and the choice among kernels.
// The scalar kernel works on eight bytes at a time in a 64-bit word (SWAR).
#include "simd/simd.h"

namespace lumtab::simd {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;  // 1 in every byte
constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7f;
constexpr std::uint64_t kHigh = 0x8080808080808080;

// The top bit of every byte of `word` below `n` (at most 0x80), the others 0:
// adding 0x80 - n to a byte's low seven bits sets its top bit when they are n or
// more, without a carry into the next byte; a byte whose own top bit is set is
// 0x80 or more.
std::uint64_t below(std::uint64_t word, unsigned n) {
    return ~(((word & kLow7) + (0x80 - n) * kOnes) | word) & kHigh;
}

std::uint64_t equal(std::uint64_t word, std::uint8_t c) {
    return below(word ^ (c * kOnes), 1);
}

// The top bits of the eight bytes of `high` (others 0) as eight bits, the first
// byte's lowest: each multiplied into a place of its own in the top byte.
std::uint64_t gather_top_bits(std::uint64_t high) {
    return ((high >> 7) * 0x0102040810204080) >> 56;
}

template <typename Classify>
Masks masks_of(const std::uint8_t* p, Classify classify) {
    Masks masks;
    for (unsigned at = 0; at < kChunk; at += 8)
        classify(load8(p + at), at, masks);
    return masks;
}

void add(std::uint64_t& mask, std::uint64_t high, unsigned at) {
    mask |= gather_top_bits(high) << at;
}

Masks plain_masks(const std::uint8_t* p) {
    return masks_of(p, [](std::uint64_t word, unsigned at, Masks& masks) {
        add(masks.digit, below(word ^ ('0' * kOnes), 10), at);
        // Tab, line feed, vertical tab, form feed and carriage return are 9 to 13.
        add(masks.space, (below(word, 14) & ~below(word, 9)) | equal(word, ' '), at);
    });
}

Masks table_masks(const std::uint8_t* p) {
    return masks_of(p, [](std::uint64_t word, unsigned at, Masks& masks) {
        add(masks.digit, below(word ^ ('0' * kOnes), 10), at);
        add(masks.blank, equal(word, ' ') | equal(word, '\t'), at);
        add(masks.comma, equal(word, ','), at);
        add(masks.line_feed, equal(word, '\n'), at);
        add(masks.carriage_return, equal(word, '\r'), at);
    });
}

bool is_digit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

template <typename Sample>
bool short_numbers(const std::uint8_t* p, std::uint64_t last_digits, std::uint32_t max,
                   Sample* out) {
    for (; last_digits != 0; last_digits &= last_digits - 1) {
        const std::uint8_t* last = p + __builtin_ctzll(last_digits);
        std::uint32_t value = last[0] - '0';
        if (is_digit(last[-1])) {
            value += 10 * (last[-1] - '0');
            if (is_digit(last[-2])) value += 100 * (last[-2] - '0');
        }
        if (value > max) return false;
        *out++ = static_cast<Sample>(value);
    }
    return true;
}

const Kernel kScalar = {"scalar",
                        plain_masks,
                        table_masks,
                        short_numbers<std::uint8_t>,
                        short_numbers<std::uint16_t>,
                        luma_8_scalar};

const Kernel& choose() {
    const Kernel* best = &kScalar;
#if !defined(LUMTAB_KERNEL_SCALAR)
    if (const Kernel* sse2 = sse2_kernel()) best = sse2;
#if !defined(LUMTAB_KERNEL_SSE2)
    if (const Kernel* avx2 = avx2_kernel()) best = avx2;
#endif
#endif
    return *best;
}

}  // namespace

void luma_8_scalar(const std::uint8_t* in, std::size_t pixels, unsigned stride, std::uint8_t* out) {
    for (std::size_t i = 0; i < pixels; ++i, in += stride)
        out[i] = static_cast<std::uint8_t>(luma(in[0], in[1], in[2]));
}

const Kernel& scalar_kernel() {
    return kScalar;
}

const Kernel& kernel() {
    static const Kernel& chosen = choose();
    return chosen;
}

std::vector<const Kernel*> kernels() {
    std::vector<const Kernel*> all = {&kScalar};
    for (const Kernel* kernel : {sse2_kernel(), avx2_kernel()})
        if (kernel != nullptr) all.push_back(kernel);
    return all;
}

#if !defined(__x86_64__)
const Kernel* sse2_kernel() {
    return nullptr;
}

const Kernel* avx2_kernel() {
    return nullptr;
}
#endif

}  // namespace lumtab::simd
