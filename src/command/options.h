// The command line: options first, then the files, as getopt_long reads them.
#pragma once

#include <lumtab/table.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumtab {

// The most conversions a run makes at once.
constexpr unsigned kMostJobs = 1024;

struct Options {
    TableStyle style = TableStyle::spaces;
    bool reverse = false;
    std::int32_t max_value = 0;      // with reverse: 0 chooses by the values
    std::string channel;             // of an image: "" for its grey or its luminance
    int channels = 1;                // with reverse: values a pixel
    std::optional<FileType> format;  // with reverse: what the images are
    bool coordinates = false;        // a line a pixel: --xyz
    bool header = false;             // with coordinates: a line naming the columns
    bool floating = false;           // with reverse: values are 32-bit floating point
    std::optional<std::string> output;
    bool quiet = false;
    std::vector<std::string> files;

    // Batches.
    enum class Label { none, directory, name };
    unsigned jobs = 1;                            // conversions at once
    std::optional<std::string> files_from;        // a list of names, "-" for standard input
    bool null_separated = false;                  // the list's names end with NUL, not LF
    std::optional<std::string> target_directory;  // where every output goes
    bool update = false;                          // skip inputs whose output is up to date
    bool flat = false;                            // one line per image, all in one output
    Label label = Label::none;                    // what starts each line with --flat
};

// With -r, the type of the images: --format, else the name -o gives, else Netpbm.
FileType image_type(const Options& options);

// The options of `argv`. Ends the process: for --help and --version, after
// printing them (status 0, or 1 where standard output fails); for wrong usage,
// with one line on standard error and status 2.
Options parse_options(int argc, char** argv);

}  // namespace lumtab
