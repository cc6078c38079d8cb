// Reading a coordinate table back into an image: a line a pixel, its column and
// row from 0 and then its values, the fields separated as a table's values are
// (blanks, or a comma with blanks around it); the pixels in any order, each once;
// a first line that names the columns (its first field no number) passed over.
// The image is as wide as the largest column and one, as high as the largest row
// and one. Since the pixels may come in any order, the whole image is held.
#pragma once

#include <cstdint>
#include <vector>

#include "table/table_reader.h"

namespace lumtab {

class Input;

// An image read from a coordinate table: its samples row by row from the top,
// each pixel's in turn.
template <typename Value>
struct CoordinateImage {
    TableShape shape;
    std::vector<Value> samples;
};

// Reads the coordinate table `in`, `channels` values a pixel after its column
// and row: unsigned values up to `max_value`, or floating-point ones (Value
// float, as the table reader reads them). Throws Error naming the table and the
// line at fault; a pixel missing by its column and row, a pixel given twice by
// the line that gives it again.
CoordinateImage<std::uint16_t> read_coordinates(Input& in, int channels, std::uint32_t max_value);
CoordinateImage<float> read_float_coordinates(Input& in, int channels);

}  // namespace lumtab
