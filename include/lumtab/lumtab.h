// lumtab: images as tables of their samples, and tables back into images.
// #include <lumtab/lumtab.h> gives the whole library; link lumtab::lumtab (CMake)
// or `pkg-config --libs lumtab`. The headers need C++20.
#pragma once

#define LUMTAB_VERSION_MAJOR 1
#define LUMTAB_VERSION_MINOR 1
#define LUMTAB_VERSION_PATCH 0

#include "error.h"
#include "image.h"
#include "pgm.h"
#include "table.h"

namespace lumtab {

// A process's last chance, from its own handler of a fatal signal: removes the
// named temporary files of the outputs being written (where the file system
// offers no unnamed ones), which the signal would otherwise leave behind. Safe in
// a signal handler. The library itself never installs a handler.
LUMTAB_API void remove_temporary_files() noexcept;

}  // namespace lumtab
