// A run's conversions, one after another or several at once.
#pragma once

#include "command/file_list.h"
#include "command/options.h"

namespace lumtab {

// Converts every input, options.jobs at once, each into its own output; returns the
// exit status: 0, or 1 if any failed. Messages and standard output come in the
// inputs' order, as if the conversions ran one after another; so do the refusals
// of outputs that would replace another file of the run. An input read from
// standard input, or written to standard output, is converted on this thread once
// those before it are done, and before those after it start.
int convert_all(const Options& options, const Inputs& inputs);

}  // namespace lumtab
