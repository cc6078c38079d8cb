// The names of a run's outputs: made from the inputs' names, and never one that
// would replace another file of the run.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumtab {

// The output's name: the input's path with the last three characters of its file
// name replaced by `suffix`, characters counted in the locale's encoding (in
// UTF-8 where it has a single-byte one), or in bytes where the name is not valid
// in it. Throws Error for a file name of fewer than three characters.
std::string replace_last_three(const std::string& path, std::string_view suffix);

// The name that messages give an input.
std::string input_name(const std::string& file);

// What no output of a run may replace: the run's inputs, and the outputs it has
// written. Checked before a conversion and added to after it, in two steps, so
// that conversions may overlap.
class RunFiles {
  public:
    using FileId = std::pair<dev_t, ino_t>;

    explicit RunFiles(const std::vector<std::string>& inputs);

    // Throws Error if `output`, the output of `input`, is that input, another input
    // of the run or an output the run has written. Returns what `output` is now,
    // for record().
    std::optional<FileId> check(const std::string& input, const std::string& output,
                                bool reverse) const;

    // Records the output of `input` if the conversion created or replaced a regular
    // file there; one written into, a device or a descriptor's file, is not.
    void record(const std::string& input, const std::string& output, std::optional<FileId> before);

  private:
    std::map<FileId, std::string> inputs_;   // with their names for messages
    std::map<FileId, std::string> outputs_;  // with their inputs' names
};

}  // namespace lumtab
