#include "io/signals.h"

namespace lumtab {

bool is_fatal_signal(int signal_number) {
    switch (signal_number) {
        case SIGKILL:
        case SIGSTOP:
        case SIGTSTP:
        case SIGTTIN:
        case SIGTTOU:
        case SIGCONT:
        case SIGCHLD:
        case SIGURG:
        case SIGWINCH:
        case SIGXFSZ:
            return false;
    }
    return signal_number >= 1 && signal_number <= SIGRTMAX &&
           (signal_number < 32 || signal_number >= SIGRTMIN);
}

sigset_t fatal_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number)
        if (is_fatal_signal(signal_number)) sigaddset(&set, signal_number);
    return set;
}

}  // namespace lumtab
