// The temporary files of the outputs being written, which a signal that ends the
// process would leave behind.
#pragma once

#include "export.h"

namespace lumtab {

// A process's last chance, from its own handler of a fatal signal: removes the
// named temporary files of the outputs being written (where the file system
// offers no unnamed ones), which the signal would otherwise leave behind. Safe in
// a signal handler. The library itself never installs a handler.
LUMTAB_API void remove_temporary_files() noexcept;

}  // namespace lumtab
