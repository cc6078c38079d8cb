// The inputs of a run: the names on the command line, then those of a list file.
#pragma once

#include <lumtab/error.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "io/input.h"

namespace lumtab {

struct Inputs {
    std::vector<std::string> names;        // the command line's, then the list's
    std::size_t from_command_line = 0;     // how many come from the command line
    std::map<std::size_t, Error> refused;  // entries of the list that are no names

    // Whether input `i` is standard input: "-" on the command line; in a list, "-" is
    // a file of that name.
    bool is_standard_input(std::size_t i) const { return i < from_command_line && names[i] == "-"; }

    // The name that messages give input `i`.
    std::string name_of(std::size_t i) const {
        return is_standard_input(i) ? std::string(kStandardInput) : names[i];
    }

    // Opens input `i`; throws Error::unable_to_open where it cannot.
    std::unique_ptr<Input> open(std::size_t i) const {
        if (is_standard_input(i)) return std::make_unique<Input>(Input::StandardInput{});
        return std::make_unique<Input>(names[i]);
    }
};

// Appends the names that the file `list` holds ("-" for standard input), each ended
// by a line feed or, if `null_separated`, a NUL byte; the last may lack its end. An
// empty name, or a NUL byte in a name ended by a line feed, is entered as refused,
// to fail in its turn. Throws Error if the list cannot be read to its end.
void read_file_list(const std::string& list, bool null_separated, Inputs& inputs);

}  // namespace lumtab
