// LUMTAB_API marks what the library exports: built shared, it exports nothing
// else (the rest is hidden).
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define LUMTAB_API __attribute__((visibility("default")))
#else
#define LUMTAB_API
#endif
