// The conversions both ways, in constant memory: an image into its table, and a
// table back into an image.
#pragma once

#include <cstdint>
#include <string>

#include "table.h"

class Input;

// Where an output goes: a file's name, or "-" for standard output.
struct Destination {
    std::string name;
    bool progress = false;  // show progress on standard error if it is a terminal
};

// Writes the image read from `in` as a table in `style`. The output is opened once
// the image's header has been read, and a file appears only when complete. Throws
// Error.
void image_to_table(Input& in, const Destination& out, TableStyle style);

// Writes the table read from `in` as a binary image. The maximum value is
// `max_value`, or if it is 0, 255 when every value fits in 8 bits and 65535
// otherwise. The output is opened first; a file appears only when complete.
// Throws Error.
void table_to_image(Input& in, const Destination& out, std::int32_t max_value);
