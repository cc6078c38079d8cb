// The image libraries, loaded on first use: an image of another format never pays
// for them, and each is the system's own, updated with it. The command is linked
// statically, so that it starts as fast as /bin/true; glibc loads them all the same.
#pragma once

#include <string>

namespace lumtab {

// A shared library loaded by its soname, and the functions looked up in it.
class SharedLibrary {
  public:
    // Loads `soname`; never throws: error() then says what failed.
    explicit SharedLibrary(const char* soname);
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Empty if the library and every function looked up were found.
    const std::string& error() const { return error_; }

    // Points `function` at the library's function `name`, or leaves it null and
    // says so in error().
    template <typename Function>
    void find(Function*& function, const char* name) {
        function = reinterpret_cast<Function*>(symbol(name));
    }

  private:
    void* symbol(const char* name);

    void* handle_ = nullptr;
    std::string soname_;
    std::string error_;
};

}  // namespace lumtab
