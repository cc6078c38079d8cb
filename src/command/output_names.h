// The names of a run's outputs: made from the inputs' names, and never one that
// would replace another file of the run.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "command/file_list.h"

namespace lumtab {

// The output's name: the input's path with the last three characters of its file
// name replaced by `suffix`, characters counted in the locale's encoding (in
// UTF-8 where it has a single-byte one), or in bytes where the name is not valid
// in it. Throws Error for a file name of fewer than three characters.
std::string replace_last_three(const std::string& path, std::string_view suffix);

// Whether the output `name` is standard output: "-", or a name of the file it is
// (/dev/stdout, the terminal it writes to).
bool is_standard_output(const std::string& name);

// The output's name in `directory`: the file name that replace_last_three makes
// from `path`'s. Throws as replace_last_three does.
std::string output_in_directory(const std::string& directory, const std::string& path,
                                std::string_view suffix);

// What no output of a run may replace: the run's inputs, and the outputs it has
// written or kept. Checked before a conversion and added to after it, in two
// steps, so that conversions may overlap.
class RunFiles {
  public:
    using FileId = std::pair<dev_t, ino_t>;

    // Looks at every input of the run, as it is now, on up to `threads` threads.
    explicit RunFiles(const Inputs& inputs, unsigned threads = 1);

    // The size in bytes of input `index` where it is a regular file, else 0; and of
    // them all.
    std::uint64_t size_of(std::size_t index) const { return sizes_[index]; }
    std::uint64_t total_size() const { return total_size_; }

    // Whether input `index` was there when the run began.
    bool existed(std::size_t index) const { return existed_[index]; }

    // Throws Error if `output`, the output of input `index`, is that input, another
    // input of the run or an output the run has written. Returns what `output` is
    // now, for record().
    std::optional<FileId> check(std::size_t index, const std::string& output, bool reverse) const;
    // The same for an output known to be there, as `status` says.
    FileId check(std::size_t index, const std::string& output, bool reverse,
                 const struct stat& status) const;

    // Records the output of input `index` if the conversion created or replaced a
    // regular file there; one written into, a device or a descriptor's file, is not.
    void record(std::size_t index, const std::string& output, std::optional<FileId> before);
    // The same with what the output is now: `after`, a regular file, or nothing.
    void record(std::size_t index, std::optional<FileId> after, std::optional<FileId> before);
    // Records `output`, found up to date, as the output of input `index`.
    void record_kept(std::size_t index, const std::string& output);

    // The input of the run that `path` is, if any.
    std::optional<std::size_t> input_at(const std::string& path) const;
    // The name that messages give input `index`.
    std::string name_of(std::size_t index) const;

  private:
    struct Hash {
        std::size_t operator()(const FileId& id) const noexcept {
            return std::hash<std::uint64_t>()(id.first * 0x9e3779b97f4a7c15u ^ id.second);
        }
    };
    // What input `index` is; fills in its size and whether it exists.
    std::optional<FileId> look_at(std::size_t index);

    const Inputs& inputs_;
    std::vector<std::uint64_t> sizes_;
    std::vector<char> existed_;  // written from several threads: not vector<bool>
    std::uint64_t total_size_ = 0;
    std::unordered_map<FileId, std::size_t, Hash> input_ids_;  // with their indexes
    std::unordered_map<FileId, std::size_t, Hash> outputs_;    // with their inputs' indexes
};

}  // namespace lumtab
