#include "command/signals.h"

#include <lumtab/temporary_files.h>
#include <signal.h>

#include "io/output_file.h"
#include "io/signals.h"

namespace lumtab {

namespace {

void remove_temporary_files_and_die(int signal_number) {
    remove_temporary_files();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(signal_number, &default_action, nullptr);
    // The signal stays blocked until the handler returns, and then ends the process.
    ::raise(signal_number);
}

// Sets the handler of every fatal signal but those ignored.
void handle_fatal_signals() {
    struct sigaction action {};
    action.sa_handler = remove_temporary_files_and_die;
    sigfillset(&action.sa_mask);
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
        if (!is_fatal_signal(signal_number)) continue;
        // A signal the caller ignores stays ignored: set, then put back.
        struct sigaction old {};
        if (::sigaction(signal_number, &action, &old) == 0 && old.sa_handler == SIG_IGN)
            ::sigaction(signal_number, &old, nullptr);
    }
}

}  // namespace

void set_signal_policy() {
    // Only a named temporary file needs the handlers: set them before the first.
    call_before_naming_temporary_files(handle_fatal_signals);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

}  // namespace lumtab
