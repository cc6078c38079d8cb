// Flat tables: one line per image, every sample of the image in turn (row after
// row, each pixel's samples together), the lines of many images in one table, each
// line perhaps started by a label: the layout that machine-learning data sets use.
#pragma once

#include <lumtab/error.h>
#include <lumtab/table.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace lumtab {

class Input;

// An image for a flat table: its input and label, or why it is refused unread.
struct FlatImage {
    std::unique_ptr<Input> in;
    std::string label;
    std::optional<Error> refused;
};

// Gives the next image, in turn; false when none is left.
using NextFlatImage = std::function<bool(FlatImage&)>;
// Told in turn, for every image given, whether its line was written: nullptr, or
// the Error that refused it.
using FlatOutcome = std::function<void(const Error* refused)>;

// Writes a line for every image that `next` gives into `out`, a file that appears
// only once every line is written and only if one is, or standard output for "-";
// on `threads` threads. Each line holds what `channel` takes of each pixel, as
// select_channels has it. The first image written sets the width, height and
// values a pixel of the lines; an image that differs, lacks the channel, is
// malformed or has a label that `style` cannot hold gets no line, and the others
// go on. Each image is read whole
// before its line is written. With `labelled`, every line starts with its image's
// label. Returns how many lines were written; throws Error where the output fails.
std::uint64_t write_flat_table(const NextFlatImage& next, const std::string& out, TableStyle style,
                               std::string_view channel, bool labelled, unsigned threads,
                               const FlatOutcome& outcome);

}  // namespace lumtab
