// Memory that runs out, as the one way lumtab fails.
#pragma once

#include <lumtab/error.h>

#include <new>
#include <string>

namespace lumtab {

// Runs `body` and returns what it returns; a std::bad_alloc from it is thrown on
// as Error(`name`, "out of memory").
template <typename Body>
decltype(auto) out_of_memory_as_error(const std::string& name, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        throw Error(name, "out of memory");
    }
}

}  // namespace lumtab
