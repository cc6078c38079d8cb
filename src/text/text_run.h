// Runs of decimal text taken from an input in turn, to be parsed on their own, on
// any thread: a plain image's samples and a table's values are read this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "simd/simd.h"

namespace lumtab {

class Input;

// A run of text, with whitespace before it so that the bytes before any number
// in it may be read.
class TextRun {
  public:
    // The most text it holds. It starts small and grows to this, so that a small
    // input costs little. Fuzzing builds make it small, as the input's buffer.
#ifdef LUMTAB_SMALL_BUFFERS
    static constexpr std::size_t kCapacity = 4096;
#else
    static constexpr std::size_t kCapacity = 1024 * 1024;
#endif

    TextRun() {
        reserve(kCapacity < 64 * 1024 ? kCapacity : 64 * 1024);
    }

    const std::uint8_t* data() const {
        return storage_.get() + kMargin;
    }
    std::size_t size() const {
        return size_;
    }
    void clear() {
        size_ = 0;
    }
    // Whether four windows of the input still fit: a reader that takes one now may
    // take up to three more once there is no room, to end the run at a whole pixel
    // of up to four samples.
    bool has_room() const;

    // Appends `bytes`, and whitespace before them so that they lie within a cache
    // line as they lay in the input: memcpy can run twenty times slower on some
    // machines when its destination is a few bytes ahead of its source within a page.
    void append(std::span<const std::uint8_t> bytes);

  private:
    static constexpr std::size_t kMargin = 16;
    static_assert(kMargin >= simd::kReadsBefore);
    static constexpr std::size_t kCopyAlignment = 64;

    void reserve(std::size_t total);

    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// The next stretch of `in`'s text that ends right after a break (a byte for which
// `is_break` holds), so that no number is cut; at the input's end, all that is
// left. The leading zeros of a number too long for the stretch are skipped, so
// that any number of them may lead a number. Empty at the end of the input; if a
// number without leading zeros is too long to cut, that number alone, with
// `unbroken` set. The bytes stay in `in` until the caller skips them.
std::span<const std::uint8_t> next_stretch(Input& in, bool (*is_break)(int), bool& unbroken);

}  // namespace lumtab
