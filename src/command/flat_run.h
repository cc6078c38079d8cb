// A run with --flat: every image into one flat table.
#pragma once

#include "command/file_list.h"
#include "command/options.h"

namespace lumtab {

// Writes a line for every input into the table -o names, or standard output;
// returns the exit status: 0, or 1 if any image was refused (it gets no line) or
// the table could not be written (it is then not written at all).
int write_flat(const Options& options, const Inputs& inputs);

}  // namespace lumtab
