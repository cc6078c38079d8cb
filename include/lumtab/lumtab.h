// lumtab: images as tables of their samples, and tables back into images.
// #include <lumtab/lumtab.h> gives the whole library; link lumtab::lumtab (CMake)
// or `pkg-config --libs lumtab`. The headers need C++20.
#pragma once

#define LUMTAB_VERSION_MAJOR 2
#define LUMTAB_VERSION_MINOR 0
#define LUMTAB_VERSION_PATCH 0

#include "error.h"
#include "image.h"
#include "pgm.h"
#include "table.h"
#include "temporary_files.h"
