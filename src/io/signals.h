// The signals whose default action ends the process: the ones a program that
// writes files all or nothing must clean up after.
#pragma once

#include <signal.h>

namespace lumtab {

// Whether a signal's default action ends the process, and it can be caught: all
// but those that stop, continue, are ignored by default, or cannot be caught;
// SIGXFSZ, which the command ignores, aside.
bool is_fatal_signal(int signal_number);

// The fatal signals, as a set.
sigset_t fatal_signals();

}  // namespace lumtab
