#include "io/shared_library.h"

#include <dlfcn.h>

namespace lumtab {

SharedLibrary::SharedLibrary(const char* soname) : soname_(soname) {
    // Never unloaded: its functions are used until the process ends.
    handle_ = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        error_ = soname_ + " cannot be loaded" + (why != nullptr ? std::string(": ") + why : "");
    }
}

void* SharedLibrary::symbol(const char* name) {
    if (handle_ == nullptr) return nullptr;
    void* function = ::dlsym(handle_, name);
    if (function == nullptr && error_.empty()) error_ = soname_ + " lacks " + name;
    return function;
}

}  // namespace lumtab
