// Where the command's failures go: one line each on standard error.
#pragma once

#include <lumtab/error.h>

namespace lumtab {

// Writes `error`'s line, and a line feed, to standard error in one write, so that
// the lines of runs in parallel do not mix.
void report(const Error& error);

}  // namespace lumtab
