// The command line: options first, then the files, as getopt_long reads them.
#pragma once

#include <lumtab/table.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumtab {

struct Options {
    TableStyle style = TableStyle::spaces;
    bool reverse = false;
    std::int32_t max_value = 0;  // with reverse: 0 chooses by the values
    std::string channel;         // of an image: "" for its grey or its luminance
    int channels = 1;            // with reverse: values a pixel
    std::optional<std::string> output;
    bool quiet = false;
    std::vector<std::string> files;
};

// The options of `argv`. Ends the process: for --help and --version, after
// printing them (status 0, or 1 where standard output fails); for wrong usage,
// with one line on standard error and status 2.
Options parse_options(int argc, char** argv);

}  // namespace lumtab
