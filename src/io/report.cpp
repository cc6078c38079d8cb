#include "io/report.h"

#include <unistd.h>

#include <string>

namespace lumtab {

void report(const Error& error) {
    std::string line = error.what();
    line += '\n';
    // Nothing is left to do if standard error itself fails.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

}  // namespace lumtab
