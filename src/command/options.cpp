#include "command/options.h"

#include <getopt.h>
#include <sched.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "image/channels.h"
#include "image/max_value.h"
#include "io/error_text.h"
#include "io/report.h"
#include "threads/start.h"

namespace lumtab {

FileType image_type(const Options& options) {
    if (options.format) return *options.format;
    return options.output ? file_type_of(*options.output) : FileType::netpbm;
}

namespace {

#define LUMTAB_SYNOPSIS                                                                  \
    "usage: lumtab [-q] [--csv | --tsv] [--channel NAME] [--xyz [--header]] [-o FILE]\n" \
    "              IMAGE...\n"                                                           \
    "       lumtab -r [-q] [--maxval N | --float] [--channels N] [--xyz] [--format F]\n" \
    "              [-o FILE] TABLE...\n"                                                 \
    "       lumtab [-qu] [-j N] [-r] [-t DIR] [--files-from=LIST [-0]] FILE...\n"        \
    "       lumtab --flat [--label=dir|name] [--csv | --tsv] [--channel NAME]\n"         \
    "              [-o FILE] IMAGE...\n"

constexpr const char* kUsage = LUMTAB_SYNOPSIS;

constexpr const char* kHelp = LUMTAB_SYNOPSIS
    "Writes the samples of each image (Netpbm, PFM, PNG, TIFF or JPEG; integers or\n"
    "floating point) to a text table beside it: one line per image row, each value\n"
    "followed by a space; a colour image's luminance, unless --channel says\n"
    "otherwise. The table's name is the image's with its last three characters\n"
    "replaced by \"int\". With -r, reads each table back into a binary image named\n"
    "\"...pgm\" (\"...ppm\", \"...pam\", \"...pfm\"), or a PNG or TIFF image as --format or\n"
    "the name -o gives says.\n"
    "A file of - is standard input, and its output goes to standard output.\n"
    "\n"
    "  -o, --output=FILE  write to FILE (- for standard output); one input only, but\n"
    "                     any number with --flat\n"
    "      --csv          values separated by commas, table named ...csv\n"
    "      --tsv          values separated by tabs, table named ...tsv\n"
    "  -r, --reverse      read tables back into images (values separated by blanks\n"
    "                     or commas)\n"
    "      --channel=NAME of each pixel: gray, red, green, blue, alpha, luma, a\n"
    "                     channel's number from 0, or all of its channels in turn\n"
    "      --maxval=N     with -r: the image's maximum value, 1 to 65535; by default\n"
    "                     255 if every value fits, else 65535\n"
    "      --channels=N   with -r: N values a pixel, 1 to 4: PGM for 1, PPM for 3,\n"
    "                     PAM for 2 (grey and alpha) and 4 (RGB and alpha)\n"
    "      --format=F     with -r: pnm, png or tiff; by default as the name -o gives\n"
    "                     ends: .png, .tif or .tiff, else pnm\n"
    "      --float        with -r: the values are decimals, read into 32-bit floating\n"
    "                     point: a PFM image (pnm), or TIFF\n"
    "      --xyz          a line a pixel: its column, row and values; with -r, such a\n"
    "                     table, its pixels in any order\n"
    "      --header       with --xyz: a first line naming the columns\n"
    "  -q, --quiet        show no progress on a terminal\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n"
    "\n"
    "Batches:\n"
    "  -j, --jobs=N       convert N files at once; 0: one per processor\n"
    "      --files-from=LIST  also convert the files LIST names, one a line (- for\n"
    "                     standard input)\n"
    "  -0, --null         names in LIST end with NUL bytes, as find -print0 ends them\n"
    "  -t, --target-directory=DIR  write every output into DIR\n"
    "  -u, --update       skip a file whose output exists and is not older than it\n"
    "      --flat         one line per image, every image into one table (-o FILE, or\n"
    "                     standard output); the images must be of one size\n"
    "      --label=dir|name  with --flat: start each line with the name of the\n"
    "                     image's directory, or its file name without the extension\n"
    "  --                 end of options: a file's name may begin with -\n"
    "Options may come before or after the files.\n"
    "\n"
    "Exit status: 0 if every file was converted, 1 if any failed, 2 for wrong usage.\n"
    "The manual page, man lumtab, tells the rest.\n";

enum LongOnly {
    kCsv = 256,
    kTsv,
    kMaxValue,
    kVersion,
    kChannel,
    kChannels,
    kFilesFrom,
    kFlat,
    kLabel,
    kFormat,
    kXyz,
    kHeader,
    kFloat
};

const option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"quiet", no_argument, nullptr, 'q'},
    {"reverse", no_argument, nullptr, 'r'},
    {"maxval", required_argument, nullptr, kMaxValue},
    {"channel", required_argument, nullptr, kChannel},
    {"channels", required_argument, nullptr, kChannels},
    {"csv", no_argument, nullptr, kCsv},
    {"tsv", no_argument, nullptr, kTsv},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"jobs", required_argument, nullptr, 'j'},
    {"files-from", required_argument, nullptr, kFilesFrom},
    {"null", no_argument, nullptr, '0'},
    {"target-directory", required_argument, nullptr, 't'},
    {"update", no_argument, nullptr, 'u'},
    {"flat", no_argument, nullptr, kFlat},
    {"label", required_argument, nullptr, kLabel},
    {"format", required_argument, nullptr, kFormat},
    {"xyz", no_argument, nullptr, kXyz},
    {"header", no_argument, nullptr, kHeader},
    {"float", no_argument, nullptr, kFloat},
    {nullptr, 0, nullptr, 0},
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
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || !is_max_value(value))
        usage_error("--maxval takes a number from 1 to 65535, not " + printable(text));
    return static_cast<std::int32_t>(value);
}

// A --channel argument: a channel's name or number, "luma" or "all".
std::string parse_channel(const char* text) {
    if (*text == '\0' || !is_channel_choice(text))
        usage_error(
            "--channel takes gray, red, green, blue, alpha, luma, all or a channel's "
            "number, not " +
            printable(text));
    return text;
}

// A --channels argument: 1 to 4.
int parse_channels(const char* text) {
    if (text[0] < '1' || text[0] > '4' || text[1] != '\0')
        usage_error("--channels takes a number from 1 to 4, not " + printable(text));
    return text[0] - '0';
}

// What getopt_long refused in the argument it last read: it says '?' for every
// fault, with the option in optopt where it knows it.
[[noreturn]] void refuse_option(const std::string& arg) {
    bool is_long = arg.starts_with("--");
    std::string option = is_long ? arg.substr(0, arg.find('=')) : std::string("-") + char(optopt);
    if (is_long && optopt != 0 && arg.find('=') != std::string::npos)
        usage_error("option " + printable(option) + " takes no argument");
    if (optopt == 'o' || optopt == kMaxValue || optopt == kChannel || optopt == kChannels ||
        optopt == 'j' || optopt == 't' || optopt == kFilesFrom || optopt == kLabel ||
        optopt == kFormat)
        usage_error("option " + printable(option) + " needs an argument");
    usage_error("unknown option " + printable(option));
}

// A -j argument: a decimal number from 0 (one per processor) to kMostJobs.
unsigned parse_jobs(const char* text) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value > kMostJobs)
        usage_error("-j takes a number from 0 to " + std::to_string(kMostJobs) + ", not " +
                    printable(text));
    return value == 0 ? std::min(processors(), kMostJobs) : static_cast<unsigned>(value);
}

// A --format argument: the types of image lumtab writes. JPEG is none of them: it
// would not give a table's numbers back.
FileType parse_format(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text == "pnm") return FileType::netpbm;
    if (text == "png") return FileType::png;
    if (text == "tiff" || text == "tif") return FileType::tiff;
    usage_error("--format takes pnm, png or tiff" +
                (text.empty() ? std::string() : ", not " + printable(text)));
}

Options::Label parse_label(const std::string& text) {
    if (text == "dir") return Options::Label::directory;
    if (text == "name") return Options::Label::name;
    usage_error("--label takes dir or name, not " + printable(text));
}

// The batch options that do not go together.
void check_batch_combination(const Options& options) {
    bool reads_stdin =
        std::find(options.files.begin(), options.files.end(), "-") != options.files.end();
    if (options.flat && options.reverse) usage_error("--flat goes with images, not with -r");
    if (options.label != Options::Label::none && !options.flat)
        usage_error("--label goes with --flat");
    if (options.label != Options::Label::none && reads_stdin)
        usage_error("--label takes its labels from names, and - has none");
    if (options.null_separated && !options.files_from) usage_error("-0 goes with --files-from");
    if (options.files_from == "-" && reads_stdin)
        usage_error("--files-from=- and the file - both read standard input");
    if (options.target_directory && options.output) usage_error("-t and -o exclude each other");
    if (options.target_directory && options.target_directory->empty())
        usage_error("-t takes a directory, not an empty name");
    if (options.flat && options.target_directory) usage_error("--flat and -t exclude each other");
    if (options.flat && options.update) usage_error("--flat and -u exclude each other");
    if (options.output && options.files_from && !options.flat)
        usage_error("-o and --files-from go together only with --flat");
}

// Options that do not go together, and files that do not go with them.
void check_combination(const Options& options, bool styled) {
    if (options.reverse && styled) usage_error("--csv and --tsv go with images, not with -r");
    if (!options.reverse && options.max_value != 0) usage_error("--maxval goes with -r");
    if (!options.reverse && options.channels != 1) usage_error("--channels goes with -r");
    if (!options.reverse && options.format) usage_error("--format goes with -r");
    if (!options.reverse && options.floating) usage_error("--float goes with -r");
    if (options.floating && options.max_value != 0)
        usage_error("--maxval and --float exclude each other");
    if (options.header && !options.coordinates) usage_error("--header goes with --xyz");
    if (options.header && options.reverse)
        usage_error("--header goes with images: -r --xyz reads a header line where there is one");
    if (options.coordinates && options.flat) usage_error("--xyz and --flat exclude each other");
    if (options.floating && image_type(options) == FileType::png)
        usage_error("--float writes PFM or TIFF images: a PNG image holds no floating point");
    if (options.reverse && !options.channel.empty())
        usage_error("--channel goes with images, not with -r");
    check_batch_combination(options);
    if (options.files.empty() && !options.files_from) usage_error("");
    if (options.output && options.files.size() > 1 && !options.flat)
        usage_error("-o takes one file, not " + std::to_string(options.files.size()));
}

}  // namespace

Options parse_options(int argc, char** argv) {
    Options options;
    bool styled = false;
    opterr = 0;
    // Options anywhere, as GNU tools take them: getopt_long moves the files to the end.
    for (int c; (c = getopt_long(argc, argv, "o:qrhj:t:u0", kLongOptions, nullptr)) != -1;) {
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
            case kChannel:
                options.channel = parse_channel(optarg);
                break;
            case kChannels:
                options.channels = parse_channels(optarg);
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
            case 'j':
                options.jobs = parse_jobs(optarg);
                break;
            case kFilesFrom:
                options.files_from = optarg;
                break;
            case '0':
                options.null_separated = true;
                break;
            case 't':
                options.target_directory = optarg;
                break;
            case 'u':
                options.update = true;
                break;
            case kFlat:
                options.flat = true;
                break;
            case kLabel:
                options.label = parse_label(optarg);
                break;
            case kFormat:
                options.format = parse_format(optarg);
                break;
            case kXyz:
                options.coordinates = true;
                break;
            case kHeader:
                options.header = true;
                break;
            case kFloat:
                options.floating = true;
                break;
            case 'h':
                exit_printing(kHelp);
            case kVersion:
                exit_printing("lumtab " LUMTAB_VERSION "\n");
            case ':':
                usage_error("option " + printable(argv[optind - 1]) + " needs an argument");
            default:
                refuse_option(argv[optind - 1]);
        }
    }
    options.files.assign(argv + optind, argv + argc);
    check_combination(options, styled);
    return options;
}

}  // namespace lumtab
