// Where failures go at the edges, which turn them into messages: the command,
// and the functions of <lumtab/pgm.h> whose contract is to print. One line each
// on standard error.
#pragma once

#include <lumtab/error.h>

namespace lumtab {

// Writes `error`'s line, and a line feed, to standard error in one write, so that
// the lines of runs in parallel do not mix.
void report(const Error& error);

}  // namespace lumtab
