// A plain image's raster: decimal samples taken as text in turn, parsed anywhere.
#include <algorithm>
#include <cstdlib>

#include "formats/netpbm_reader.h"
#include "io/input.h"
#include "simd/simd.h"
#include "text/numbers.h"
#include "text/text_run.h"

namespace lumtab {

using numbers::is_digit;
using numbers::is_space;

Error sample_fault(const std::string& name, const ImageInfo& info, std::uint64_t index,
                   const std::string& what, const std::string& problem) {
    std::uint64_t pixel = index / std::uint64_t(info.channels);
    return Error(name, what + " at row " + std::to_string(pixel / info.width + 1) + ", column " +
                           std::to_string(pixel % info.width + 1) + " " + problem);
}

namespace {

struct Counted {
    std::size_t bytes;
    std::size_t samples;
};

// Counts the samples in `size` bytes of text, each a run of bytes other than
// whitespace, the first byte starting one: the first `most` of them, and the bytes
// up to where the last of those ends.
Counted count_samples(const std::uint8_t* text, std::size_t size, std::size_t most) {
    const simd::Kernel& kernel = simd::kernel();
    std::size_t samples = 0;
    std::size_t at = 0;
    std::uint64_t space_before = 1;
    for (; at + simd::kChunk <= size; at += simd::kChunk) {
        std::uint64_t space = kernel.plain_masks(text + at).space;
        unsigned starts = numbers::count_ones(~space & (space << 1 | space_before));
        if (samples + starts >= most) break;  // the last one wanted is found below
        samples += starts;
        space_before = space >> 63;
    }
    bool inside = space_before == 0;
    for (; at < size; ++at) {
        bool space = is_space(text[at]);
        if (space && inside && samples == most) break;
        if (!space && !inside) {
            if (samples == most) break;
            ++samples;
        }
        inside = !space;
    }
    return {at, samples};
}

// Parses a run of a plain raster's text, counting the samples as it goes so that
// a fault can be placed by its row and column.
template <typename Sample>
class PlainParser {
  public:
    PlainParser(const std::string& name, const ImageInfo& header, std::uint64_t first)
        : name_(name), header_(header), index_(first) {}

    // Takes the samples of the text from `p` to `end` into `out`, until it is full.
    void parse(const std::uint8_t* p, const std::uint8_t* end, std::span<Sample> out) {
        std::size_t count = 0;
        while (count < out.size() && p < end) {
            if (std::size_t(end - p) >= simd::kChunk + simd::kReadsAfter &&
                take_chunk(p, out, count))
                continue;
            for (const std::uint8_t* stop = std::min(end, p + simd::kChunk);
                 count < out.size() && p < stop;) {
                if (is_space(*p)) {
                    ++p;
                    continue;
                }
                out[count++] = static_cast<Sample>(take_sample(p, end));
                ++index_;
            }
        }
    }

  private:
    // Takes into `out`, from `count` on, the samples that end in the 64 bytes at
    // `p`, if those bytes are digits and whitespace alone, and moves `p` to the first
    // sample not taken; false where a byte at a time must do. `p` is whitespace or
    // the start of a sample, so a sample is taken whole, in the chunk where it ends.
    bool take_chunk(const std::uint8_t*& p, std::span<Sample> out, std::size_t& count) {
        const simd::Kernel& kernel = simd::kernel();
        const simd::Masks masks = kernel.plain_masks(p);
        if ((masks.digit | masks.space) != ~std::uint64_t(0)) return false;
        // The end of `out`, where a chunk's samples may not all fit: byte by byte.
        const std::size_t room = out.size() - count;
        if (room < simd::kChunk / 2 + simd::kWritesPast &&
            numbers::count_ones(~masks.digit & masks.digit << 1) +
                    simd::kWritesPast / sizeof(Sample) >
                room)
            return false;
        unsigned next;
        int taken = numbers::take_numbers(kernel, p, masks.digit,
                                          static_cast<std::uint32_t>(header_.max_value),
                                          out.data() + count, next);
        if (taken < 0) return false;  // a sample to refuse, or leading zeros
        count += static_cast<std::size_t>(taken);
        index_ += static_cast<std::size_t>(taken);
        p += next;
        return true;
    }

    // Takes the sample at `p` and moves `p` past it.
    std::uint32_t take_sample(const std::uint8_t*& p, const std::uint8_t* end) const {
        const std::uint8_t* start = p;
        std::uint32_t value = numbers::take_digits(p, end);
        if (p == start || (p < end && !is_space(*p))) refuse("sample", "is not a decimal number");
        if (value > 65535) refuse("sample", "is beyond 65535");
        if (value > std::uint32_t(header_.max_value))
            refuse("sample " + std::to_string(value),
                   "is above the maximum value " + std::to_string(header_.max_value));
        return value;
    }

    [[noreturn]] void refuse(const std::string& what, const std::string& problem) const {
        throw sample_fault(name_, header_, index_, what, problem);
    }

    const std::string& name_;
    const ImageInfo& header_;
    std::uint64_t index_;
};

bool is_space_break(int c) {
    return is_space(c);
}

}  // namespace

// Decimal numbers separated by whitespace, in any line layout; the last one may end
// the file. The text is taken a stretch of the input at a time, each ending in
// whitespace so that no number is cut, or at the end of the file; its samples are
// only counted here, and parsed later.
std::size_t NetpbmReader::take_text(PlainText& text, std::size_t most) {
    most = std::min<std::uint64_t>(most, info_.samples() - read_);
    text.run.clear();
    text.first = read_;
    text.count = 0;
    text.fault.reset();
    const auto channels = static_cast<std::size_t>(info_.channels);
    for (;;) {
        // Once the run is full, only the rest of its last pixel.
        std::size_t want = text.run.has_room()
                               ? most
                               : std::min(most, (text.count + channels - 1) / channels * channels);
        if (text.count >= want) break;
        bool unbroken;
        auto stretch = next_stretch(in_, is_space_break, unbroken);
        if (stretch.empty()) {
            text.fault =
                Error(in_.name(), truncated_raster(read_ + text.count, info_.samples(), "samples"));
            break;
        }
        if (unbroken) {
            bool digits = std::all_of(stretch.begin(), stretch.end(), is_digit);
            text.fault = sample_fault(in_.name(), info_, read_ + text.count, "sample",
                                      digits ? "is beyond 65535" : "is not a decimal number");
            break;
        }
        Counted counted = count_samples(stretch.data(), stretch.size(), want - text.count);
        if (counted.samples > 0) text.run.append(stretch.first(counted.bytes));
        text.count += counted.samples;
        in_.skip(counted.bytes);
    }
    read_ += text.count;
    return text.count;
}

void NetpbmReader::parse_text(const PlainText& text, std::span<std::uint8_t> out) const {
    if (info_.max_value > 255) std::abort();  // a caller's fault: samples do not fit
    PlainParser<std::uint8_t>(in_.name(), info_, text.first)
        .parse(text.run.data(), text.run.data() + text.run.size(), out.first(text.count));
    if (text.fault) throw *text.fault;
}

void NetpbmReader::parse_text(const PlainText& text, std::span<std::uint16_t> out) const {
    PlainParser<std::uint16_t>(in_.name(), info_, text.first)
        .parse(text.run.data(), text.run.data() + text.run.size(), out.first(text.count));
    if (text.fault) throw *text.fault;
}

template <typename Sample>
std::size_t NetpbmReader::read_plain(std::span<Sample> out) {
    if (!text_) text_ = std::make_unique<PlainText>();
    std::size_t count = 0;
    while (count < out.size()) {
        std::size_t taken = take_text(*text_, out.size() - count);
        parse_text(*text_, out.subspan(count));
        count += taken;
    }
    return count;
}

template std::size_t NetpbmReader::read_plain(std::span<std::uint8_t> out);
template std::size_t NetpbmReader::read_plain(std::span<std::uint16_t> out);

}  // namespace lumtab
