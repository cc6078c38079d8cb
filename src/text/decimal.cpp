// The shortest decimal of a float by Schubfach (Raffaello Giulietti, "The Schubfach
// way to render doubles", 2020), in its form for 32-bit floats: the interval of
// reals that round to the float, scaled by a power of ten so that it is 1 to 10
// units wide, holds at most one multiple of ten and at least one integer, the
// digits sought. Subnormal floats are left to std::to_chars. A float read by Clinger's fast path
// (William D. Clinger, "How to read floating point numbers accurately", 1990) in double, whose one
// rounding to float is exact but for a double that falls on a float's midpoint.
#include "text/decimal.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#include "text/decimal_table.h"
#include "text/numbers.h"

namespace lumtab::decimal {

namespace {

__extension__ typedef unsigned __int128 Uint128;

// Floats as Schubfach takes them: c × 2^q, c below 2^24.
constexpr int kLeastQ = -149;  // of the subnormals
constexpr std::uint64_t kLeastNormalC = 1u << 23;

// floor(log10(2^q)), floor(log10(3/4 × 2^q)) and floor(log2(10^e)), exact over
// the exponents of floats (constants from Junekey Jeon's Dragonbox; checked for
// every q and e used by make_decimal_table.py's companion test).
constexpr int floor_log10_pow2(int q) {
    return (q * 315653) >> 20;
}
constexpr int floor_log10_three_quarters_pow2(int q) {
    return (q * 631305 - 261663) >> 21;
}
constexpr int floor_log2_pow10(int e) {
    return (e * 1741647) >> 19;
}

// g × cp / 2^95, rounded to odd: its lowest bit set where bits were lost.
std::uint64_t round_to_odd(std::uint64_t g, std::uint64_t cp) {
    const auto high = static_cast<std::uint64_t>((Uint128(g) * cp) >> 64);
    return (high >> 31) | (((high & 0xffffffff) + 0xffffffff) >> 32);
}

struct Decimal {
    std::uint32_t digits;
    int exponent;  // the value is digits × 10^exponent
};

// The shortest decimal in the interval of c × 2^q, nearest to it among those,
// for a normal float, for which s has at least seven digits.
Decimal to_decimal(int q, std::uint64_t c) {
    const std::uint64_t out = c & 1;  // an odd c's bounds round away from it
    const std::uint64_t cb = c << 2;
    const std::uint64_t cbr = cb + 2;
    std::uint64_t cbl;
    int k;
    if (c != kLeastNormalC || q == kLeastQ) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {
        cbl = cb - 1;  // below a power of two, floats lie half as far apart
        k = floor_log10_three_quarters_pow2(q);
    }
    const int h = q + floor_log2_pow10(-k) + 33;
    const std::uint64_t g = kPowersOfTen[k - kTableLeast];
    const std::uint64_t vb = round_to_odd(g, cb << h);
    const std::uint64_t vbl = round_to_odd(g, cbl << h);
    const std::uint64_t vbr = round_to_odd(g, cbr << h);
    const std::uint64_t s = vb >> 2;
    // A multiple of ten within, one digit shorter: there is at most one.
    const std::uint64_t sp10 = s / 10 * 10;
    const std::uint64_t tp10 = sp10 + 10;
    const bool upin = vbl + out <= sp10 << 2;
    const bool wpin = (tp10 << 2) + out <= vbr;
    // Else s or s + 1, whichever is within, or the nearer if both are, the even
    // one at a tie. Chosen by selection, not by branches the data would mislead.
    const std::uint64_t t = s + 1;
    const bool uin = vbl + out <= s << 2;
    const bool win = (t << 2) + out <= vbr;
    const auto cmp = static_cast<std::int64_t>(vb - ((s + t) << 1));
    const bool tie_up = (cmp > 0) | ((cmp == 0) & ((s & 1) != 0));
    const bool up = ((uin != win) & !uin) | ((uin == win) & tie_up);
    const std::uint64_t shorter = upin ? sp10 : tp10;
    return {static_cast<std::uint32_t>(upin != wpin ? shorter : s + up), k};
}

Decimal decimal_of(std::uint32_t biased, std::uint32_t fraction) {
    return to_decimal(static_cast<int>(biased) - 150, kLeastNormalC | fraction);
}

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The eight decimal digits of `value`, below 10^8, one a byte, the first in the
// lowest: 0 to 9, not yet ASCII. Four digits a half, two a quarter, one a byte,
// each split by multiplying by a reciprocal: 10486 / 2^20 for 1/100 below 10^4,
// 103 / 2^10 for 1/10 below 100, both exact there.
std::uint64_t eight_digits(std::uint32_t value) {
    const std::uint64_t halves = value / 10000 | std::uint64_t(value % 10000) << 32;
    const std::uint64_t hundreds = (halves * 10486 >> 20) & 0x0000007f0000007f;
    const std::uint64_t quarters = hundreds | (halves - hundreds * 100) << 16;
    const std::uint64_t tens = (quarters * 103 >> 10) & 0x000f000f000f000f;
    return tens | (quarters - tens * 10) << 8;
}

// Stores `word` at `out`, its lowest byte first, whatever this machine's order.
void store(std::uint64_t word, char* out) {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::memcpy(out, &word, 8);
}

constexpr std::uint64_t kAscii = 0x3030303030303030;

// The digits of d in ASCII at `digits`, without the zeros that end them, which
// go to d's exponent; returns how many.
int digits_of(Decimal& d, char* digits) {
    if (d.digits >= 100000000) {
        const std::uint32_t low = d.digits % 100000000;
        const std::uint64_t word = eight_digits(low);
        const int zeros = low == 0 ? 8 : __builtin_clzll(word) / 8;
        digits[0] = static_cast<char>('0' + d.digits / 100000000);
        store(word | kAscii, digits + 1);
        d.exponent += zeros;
        return 9 - zeros;
    }
    const std::uint64_t word = eight_digits(d.digits);  // d is not 0
    const int leading = __builtin_ctzll(word) / 8, zeros = __builtin_clzll(word) / 8;
    store(word >> (8 * leading) | kAscii, digits);
    d.exponent += zeros;
    return 8 - leading - zeros;
}

// d × 10^e in fixed notation or scientific, whichever is shorter, as to_chars
// has it; `value` the float it stands for. Digits are moved 16 bytes at a time,
// beyond what counts.
char* put_decimal(Decimal d, float value, char* out) {
    char digits[32];
    const int n = digits_of(d, digits);
    const int x = d.exponent + n - 1;  // the exponent in scientific notation
    const int fixed = d.exponent >= 0 ? n + d.exponent : n + 1 + std::max(0, -x);
    const int scientific = n + (n > 1) + 4;  // a float's exponent has two digits
    if (fixed <= scientific) {
        if (d.exponent > 0) {
            // An integer: its exact digits are as short as the shortest with zeros,
            // and nearer.
            return std::to_chars(out, out + 16, static_cast<std::uint64_t>(value)).ptr;
        }
        if (x < 0) {  // 0.ddd, after at most four zeros
            std::memcpy(out, "0.000000", 8);
            std::memcpy(out + 1 - x, digits, 16);
            return out + 1 - x + n;
        }
        std::memcpy(out, digits, 16);
        if (d.exponent == 0) return out + n;
        std::memcpy(out + x + 2, digits + x + 1, 16);
        out[x + 1] = '.';
        return out + n + 1;
    }
    out[0] = digits[0];
    out[1] = '.';
    std::memcpy(out + 2, digits + 1, 16);
    out += n + (n > 1);
    const int magnitude = x < 0 ? -x : x;
    const char exponent[4] = {'e', x < 0 ? '-' : '+', kPairs[2 * magnitude],
                              kPairs[2 * magnitude + 1]};
    std::memcpy(out, exponent, 4);
    return out + 4;
}

}  // namespace

char* shortest(float value, char* out) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    *out = '-';
    out += bits >> 31;
    const std::uint32_t biased = (bits >> 23) & 0xff;
    const std::uint32_t fraction = bits & 0x7fffff;
    if (biased == 0xff) return std::copy_n(fraction != 0 ? "nan" : "inf", 3, out);
    if (biased == 0) {
        // Zero, or subnormal: too few digits for the shortcut here, and rare.
        if (fraction == 0) {
            *out = '0';
            return out + 1;
        }
        return std::to_chars(out, out + kMostFloatChars, value < 0 ? -value : value).ptr;
    }
    return put_decimal(decimal_of(biased, fraction), value < 0 ? -value : value, out);
}

namespace {

// The powers of ten a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMostExactPower = 22;

constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

constexpr std::uint64_t kPowersOfTenBelow9[] = {1,      10,      100,      1000,     10000,
                                                100000, 1000000, 10000000, 100000000};

// Takes the digits at `p`, before `last`, into `w` (as w × 10^n + them), eight at
// a time where eight bytes can be read; returns how many, stopping past 19.
[[gnu::always_inline]] inline int take_digits(const char*& p, const char* last, std::uint64_t& w) {
    int count = 0;
    while (last - p >= 8 && count <= 19) {
        const std::uint64_t word = simd::load8(reinterpret_cast<const std::uint8_t*>(p));
        const unsigned n = numbers::digits_at_start(word);
        if (n == 0) return count;
        w = w * kPowersOfTenBelow9[n] + numbers::value_of(word, n);
        p += n;
        count += static_cast<int>(n);
        if (n < 8) return count;
    }
    for (; p < last && is_digit(*p) && count <= 19; ++p, ++count)
        w = w * 10 + std::uint64_t(*p - '0');
    return count;
}

}  // namespace

const char* parse_quickly(const char* p, const char* last, float& value) noexcept {
    const bool negative = p < last && *p == '-';
    p += negative;
    std::uint64_t w = 0;
    int digits = take_digits(p, last, w);
    int exponent = 0;
    if (p < last && *p == '.') {
        ++p;
        const int fraction = take_digits(p, last, w);
        digits += fraction;
        exponent = -fraction;
    }
    if (digits == 0 || digits > 19) return nullptr;  // then w may have lost digits
    if (p < last && (*p == 'e' || *p == 'E')) {
        const char* at = p + 1;
        const bool below = at < last && *at == '-';
        if (at < last && (*at == '-' || *at == '+')) ++at;
        if (at == last || !is_digit(*at)) return nullptr;
        int power = 0;
        for (; at < last && is_digit(*at); ++at)
            power = std::min(power * 10 + (*at - '0'), 10000);
        exponent += below ? -power : power;
        p = at;
    }
    if (w == 0) {
        value = negative ? -0.0f : 0.0f;
        return p;
    }
    if (w > std::uint64_t(1) << 53 || exponent < -kMostExactPower || exponent > kMostExactPower)
        return nullptr;
    const double exact =
        exponent < 0 ? double(w) / kExactPowers[-exponent] : double(w) * kExactPowers[exponent];
    // Subnormal, beyond the range, or a midpoint between floats, where the double
    // may have been rounded onto it: for from_chars.
    if (exact < std::numeric_limits<float>::min() || exact > std::numeric_limits<float>::max())
        return nullptr;
    constexpr std::uint64_t kBelowFloat = (std::uint64_t(1) << 29) - 1;  // the bits a float drops
    if ((std::bit_cast<std::uint64_t>(exact) & kBelowFloat) == std::uint64_t(1) << 28)
        return nullptr;
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(exact));
    value = std::bit_cast<float>(bits | std::uint32_t(negative) << 31);
    return p;
}

}  // namespace lumtab::decimal
