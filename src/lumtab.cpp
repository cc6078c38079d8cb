// lumtab: writes the samples of PGM images as text tables, one line a row, and
// with --reverse reads such tables back into images.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.h"
#include "error.h"
#include "input.h"
#include "table.h"

namespace {

constexpr const char* kUsage =
    "usage: lumtab [-q] [--csv | --tsv | -r [--maxval N]] [-o FILE] FILE...\n";

constexpr const char* kHelp =
    "usage: lumtab [-q] [--csv | --tsv] [-o FILE] IMAGE...\n"
    "       lumtab -r [-q] [--maxval N] [-o FILE] TABLE...\n"
    "Writes the samples of each PGM image (binary P5 or plain P2, 8 or 16 bits) to a\n"
    "text table beside it: one line per image row, each value followed by a space.\n"
    "The table's name is the image's with its last three characters replaced by\n"
    "\"int\". With -r, reads each table back into a binary PGM image named \"...pgm\".\n"
    "A file of - is standard input, and its output goes to standard output.\n"
    "\n"
    "  -o, --output=FILE  write to FILE (- for standard output); one input only\n"
    "      --csv          values separated by commas, table named ...csv\n"
    "      --tsv          values separated by tabs, table named ...tsv\n"
    "  -r, --reverse      read tables (values separated by blanks or commas) into images\n"
    "      --maxval=N     with -r: the image's maximum value, 1 to 65535; by default\n"
    "                     255 if every value fits, else 65535\n"
    "  -q, --quiet        show no progress on a terminal\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n"
    "  --                 end of options: a file's name may begin with -\n"
    "\n"
    "Exit status: 0 if every file was converted, 1 if any failed, 2 for wrong usage.\n"
    "The manual page, man lumtab, tells the rest.\n";

struct Options {
    TableStyle style = TableStyle::spaces;
    bool reverse = false;
    std::int32_t max_value = 0;  // with reverse: 0 chooses by the values
    std::optional<std::string> output;
    bool quiet = false;
    std::vector<std::string> files;
};

[[noreturn]] void usage_error(const std::string& problem) {
    std::string text = problem.empty() ? kUsage : "lumtab: " + problem + "; see lumtab --help\n";
    std::fputs(text.c_str(), stderr);
    std::exit(2);
}

// Prints `text` on standard output and exits: 0, or 1 with a message if it could
// not be written.
[[noreturn]] void exit_printing(const char* text) {
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
        report(Error::from_errno("standard output", errno));
        std::exit(1);
    }
    std::exit(0);
}

// A --maxval argument: a decimal number from 1 to 65535.
std::int32_t parse_max_value(const char* text) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value < 1 || value > 65535)
        usage_error("--maxval takes a number from 1 to 65535, not " + printable(text));
    return static_cast<std::int32_t>(value);
}

Options parse_options(int argc, char** argv) {
    enum { kCsv = 256, kTsv, kMaxValue, kVersion };
    static const option kLong[] = {
        {"output", required_argument, nullptr, 'o'},
        {"quiet", no_argument, nullptr, 'q'},
        {"reverse", no_argument, nullptr, 'r'},
        {"maxval", required_argument, nullptr, kMaxValue},
        {"csv", no_argument, nullptr, kCsv},
        {"tsv", no_argument, nullptr, kTsv},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    bool styled = false;
    opterr = 0;
    // "+": options come before the files, as POSIX has it.
    for (int c; (c = getopt_long(argc, argv, "+o:qrh", kLong, nullptr)) != -1;) {
        switch (c) {
            case 'o':
                options.output = optarg;
                break;
            case 'q':
                options.quiet = true;
                break;
            case 'r':
                options.reverse = true;
                break;
            case kMaxValue:
                options.max_value = parse_max_value(optarg);
                break;
            case kCsv:
            case kTsv: {
                TableStyle style = c == kCsv ? TableStyle::csv : TableStyle::tsv;
                if (styled && options.style != style)
                    usage_error("--csv and --tsv exclude each other");
                styled = true;
                options.style = style;
                break;
            }
            case 'h':
                exit_printing(kHelp);
            case kVersion:
                exit_printing("lumtab " LUMTAB_VERSION "\n");
            case ':':
                usage_error("option " + printable(argv[optind - 1]) + " needs an argument");
            default: {
                // getopt_long says '?' for every fault, with the option in optopt
                // where it knows it, and the argument that holds it last read.
                std::string arg = argv[optind - 1];
                bool is_long = arg.starts_with("--");
                std::string option =
                    is_long ? arg.substr(0, arg.find('=')) : std::string("-") + char(optopt);
                if (is_long && optopt != 0 && arg.find('=') != std::string::npos)
                    usage_error("option " + printable(option) + " takes no argument");
                if (optopt == 'o' || optopt == kMaxValue)
                    usage_error("option " + printable(option) + " needs an argument");
                usage_error("unknown option " + printable(option));
            }
        }
    }
    if (options.reverse && styled) usage_error("--csv and --tsv go with images, not with -r");
    if (!options.reverse && options.max_value != 0) usage_error("--maxval goes with -r");
    options.files.assign(argv + optind, argv + argc);
    if (options.files.empty()) usage_error("");
    if (options.output && options.files.size() > 1)
        usage_error("-o takes one file, not " + std::to_string(options.files.size()));
    return options;
}

// Where each character of `name` starts: in the locale's encoding, or in UTF-8
// where the locale has a single-byte one (the C locale; names are UTF-8 as a
// rule), or byte by byte where the name is not valid in that encoding.
std::vector<std::size_t> character_starts(std::string_view name) {
    std::vector<std::size_t> starts;
    std::mbstate_t state{};
    for (std::size_t i = 0; i < name.size();) {
        starts.push_back(i);
        std::size_t length = 0;
        if (MB_CUR_MAX > 1) {
            length = std::mbrtowc(nullptr, name.data() + i, name.size() - i, &state);
            if (length == 0) length = 1;
        } else {
            auto lead = static_cast<unsigned char>(name[i]);
            std::size_t n = lead < 0x80                   ? 1
                            : lead >= 0xc2 && lead < 0xe0 ? 2
                            : lead >= 0xe0 && lead < 0xf0 ? 3
                            : lead >= 0xf0 && lead < 0xf5 ? 4
                                                          : 0;
            length = n == 0 || i + n > name.size() ? std::size_t(-1) : n;
            for (std::size_t k = 1; k < n && length == n; ++k)
                if ((static_cast<unsigned char>(name[i + k]) & 0xc0) != 0x80)
                    length = std::size_t(-1);
        }
        if (length == std::size_t(-1) || length == std::size_t(-2)) {
            starts.clear();
            for (std::size_t k = 0; k < name.size(); ++k)
                starts.push_back(k);
            return starts;
        }
        i += length;
    }
    return starts;
}

// The output's name: the input's path with the last three characters of its file
// name replaced by `suffix`.
std::string replace_last_three(const std::string& path, std::string_view suffix) {
    std::size_t slash = path.rfind('/');
    std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::vector<std::size_t> starts = character_starts(std::string_view(path).substr(base));
    if (starts.size() < 3)
        throw Error(
            path, suffix == "pgm"
                      ? "file name too short to form the image's name (three characters at least)"
                      : "file name too short to form the table's name (three characters at least)");
    return path.substr(0, base + starts[starts.size() - 3]).append(suffix);
}

// A file's identity: its device and inode numbers.
using FileId = std::pair<dev_t, ino_t>;

FileId id_of(const struct stat& status) {
    return {status.st_dev, status.st_ino};
}

// The name that messages give an input.
std::string input_name(const std::string& file) {
    return file == "-" ? "standard input" : file;
}

// The file that the input `file` is: standard input, if it is a regular file, or
// whatever exists under that name.
std::optional<FileId> input_id(const std::string& file) {
    struct stat status {};
    if (file == "-") {
        if (::fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    } else if (::stat(file.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return id_of(status);
}

// What no output of a run may replace: the run's inputs, and the outputs it has
// written. Checked before a conversion and added to after it, in two steps, so
// that conversions may overlap.
class RunFiles {
  public:
    explicit RunFiles(const std::vector<std::string>& inputs) {
        for (const std::string& file : inputs)
            if (std::optional<FileId> id = input_id(file))
                inputs_.try_emplace(*id, input_name(file));
    }

    // Throws Error if `output`, the output of `input`, is that input, another input
    // of the run or an output the run has written. Returns what `output` is now,
    // for record().
    std::optional<FileId> check(const std::string& input, const std::string& output,
                                bool reverse) const {
        struct stat status {};
        if (::stat(output.c_str(), &status) != 0) return std::nullopt;
        FileId id = id_of(status);
        std::string noun = reverse ? "image" : "table";
        std::string problem = "its " + noun + " " + output + " would replace ";
        if (id == input_id(input))
            throw Error(input_name(input),
                        problem + (reverse ? "the table itself" : "the image itself"));
        if (auto found = inputs_.find(id); found != inputs_.end())
            throw Error(input_name(input), problem + found->second + ", an input of this run");
        if (auto found = outputs_.find(id); found != outputs_.end())
            throw Error(input_name(input), problem + "the " + noun + " of " + found->second);
        return id;
    }

    // Records the output of `input` if the conversion created or replaced a regular
    // file there; one written into, a device or a descriptor's file, is not.
    void record(const std::string& input, const std::string& output, std::optional<FileId> before) {
        struct stat status {};
        if (::stat(output.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
        if (id_of(status) != before) outputs_.insert_or_assign(id_of(status), input_name(input));
    }

  private:
    std::map<FileId, std::string> inputs_;   // with their names for messages
    std::map<FileId, std::string> outputs_;  // with their inputs' names
};

// Converts one image into its table, or with --reverse one table into its image;
// throws Error.
void convert(const std::string& file, const Options& options, RunFiles& run) {
    bool from_stdin = file == "-";
    std::string suffix(options.reverse ? "pgm" : table_suffix(options.style));
    Destination out{options.output ? *options.output
                    : from_stdin   ? "-"
                                   : replace_last_three(file, suffix),
                    !options.quiet};
    bool to_file = out.name != "-";
    std::optional<FileId> before;
    if (to_file) before = run.check(file, out.name, options.reverse);

    std::optional<Input> in;
    if (from_stdin) {
        in.emplace(Input::StandardInput{});
    } else {
        in.emplace(file);
    }
    if (options.reverse) {
        table_to_image(*in, out, options.max_value);
    } else {
        image_to_table(*in, out, options.style);
    }
    if (to_file) run.record(file, out.name, before);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    Options options = parse_options(argc, argv);
    int status = 0;
    RunFiles run(options.files);
    for (const std::string& file : options.files) {
        try {
            convert(file, options, run);
        } catch (const Error& error) {
            report(error);
            status = 1;
        } catch (const std::bad_alloc&) {
            report(Error(file == "-" ? "standard input" : file, "out of memory"));
            status = 1;
        }
    }
    // Standard output may hold a table: a failure to deliver it is a failure.
    if (::close(STDOUT_FILENO) != 0 && errno != EBADF) {
        report(Error::from_errno("standard output", errno));
        status = 1;
    }
    return status;
}
