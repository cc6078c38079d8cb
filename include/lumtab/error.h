// The one way the library fails: it throws lumtab::Error, and never prints, exits
// or aborts for what a file or the system does. The three functions of
// <lumtab/pgm.h> are the exception: their contract is to print a message and end
// the process.
#pragma once

#include <exception>
#include <string>

#include "export.h"

namespace lumtab {

// What is wrong, with which file: an image or table that cannot be read, an
// output that cannot be written, a system error (with its errno), or memory.
class LUMTAB_API Error : public std::exception {
  public:
    // What is wrong with `file`; `problem` defaults to strerror(error_number).
    Error(std::string file, std::string problem, int error_number = 0);

    // A system call on `file` failed with `error_number`.
    static Error from_errno(std::string file, int error_number);
    // The input `file` cannot be opened: its message is "Unable to open file: FILE".
    static Error unable_to_open(std::string file, int error_number);

    // The file as named by the caller, or "standard input" and the like.
    const std::string& file() const noexcept { return file_; }
    // What is wrong, without the file's name: "truncated raster: found 4 of 6 bytes".
    const std::string& problem() const noexcept { return problem_; }
    // The errno of a failed system call, or 0.
    int error_number() const noexcept { return error_number_; }
    // One line: "lumtab: FILE: PROBLEM", control characters escaped.
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string file_;
    std::string problem_;
    int error_number_;
    std::string message_;
};

}  // namespace lumtab
