#include "text/text_run.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "io/input.h"
#include "text/numbers.h"

namespace lumtab {

bool TextRun::has_room() const {
    // An empty run has room, or a reader would take nothing.
    static_assert(4 * (kCopyAlignment + Input::kBufferSize) < kCapacity);
    return size_ + 4 * (kCopyAlignment + Input::kBufferSize) <= kCapacity;
}

void TextRun::reserve(std::size_t total) {
    if (total <= capacity_) return;
    std::size_t capacity = std::min(kCapacity, std::max(total, 2 * capacity_));
    auto storage = std::make_unique_for_overwrite<std::uint8_t[]>(kMargin + capacity);
    std::fill_n(storage.get(), kMargin, ' ');
    if (size_ > 0) std::memcpy(storage.get() + kMargin, data(), size_);
    storage_ = std::move(storage);
    capacity_ = capacity;
}

void TextRun::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (size_ + kCopyAlignment + bytes.size() > kCapacity) std::abort();  // a caller's fault
    reserve(size_ + kCopyAlignment + bytes.size());
    std::uint8_t* to = storage_.get() + kMargin + size_;
    std::size_t gap =
        (reinterpret_cast<std::uintptr_t>(bytes.data()) - reinterpret_cast<std::uintptr_t>(to)) %
        kCopyAlignment;
    std::memset(to, ' ', gap);
    std::memcpy(to + gap, bytes.data(), bytes.size());
    size_ += gap + bytes.size();
}

std::span<const std::uint8_t> next_stretch(Input& in, bool (*is_break)(int), bool& unbroken) {
    // At least half the input's buffer, and whatever more it holds: taking all of it
    // leaves little to move when the buffer is filled again.
    constexpr std::size_t kWindow = Input::kBufferSize / 2;
    unbroken = false;
    for (;;) {
        std::span<const std::uint8_t> window = in.look_ahead(kWindow);
        if (window.size() < kWindow) return window;  // the input's end
        std::size_t size = window.size();
        while (size > 0 && !is_break(window[size - 1]))
            --size;
        if (size > 0) return window.first(size);
        if (std::size_t zeros = numbers::leading_zeros(window.data(), window.size())) {
            in.skip(zeros);
            continue;
        }
        unbroken = true;
        return window;
    }
}

}  // namespace lumtab
