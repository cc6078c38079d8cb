// lumtab: writes the samples of PGM images as text tables, one line a row.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <semaphore>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "error.h"
#include "input.h"
#include "output_file.h"
#include "pgm.h"
#include "table.h"

namespace {

constexpr const char* kUsage = "usage: lumtab [-q] [--csv | --tsv] [-o FILE] IMAGE...\n";

constexpr const char* kHelp =
    "usage: lumtab [-q] [--csv | --tsv] [-o FILE] IMAGE...\n"
    "Writes the samples of each PGM image (binary P5 or plain P2, 8 or 16 bits) to a\n"
    "text table beside it: one line per image row, each value followed by a space.\n"
    "The table's name is the image's with its last three characters replaced by\n"
    "\"int\". An IMAGE of - is standard input, whose table goes to standard output.\n"
    "\n"
    "  -o, --output=FILE  write the table to FILE (- for standard output); one image only\n"
    "      --csv          values separated by commas, table named ...csv\n"
    "      --tsv          values separated by tabs, table named ...tsv\n"
    "  -q, --quiet        show no progress on a terminal\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n"
    "  --                 end of options: an image's name may begin with -\n";

struct Options {
    TableStyle style = TableStyle::spaces;
    std::optional<std::string> output;
    bool quiet = false;
    std::vector<std::string> images;
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

Options parse_options(int argc, char** argv) {
    enum { kCsv = 256, kTsv, kVersion };
    static const option kLong[] = {
        {"output", required_argument, nullptr, 'o'},
        {"quiet", no_argument, nullptr, 'q'},
        {"csv", no_argument, nullptr, kCsv},
        {"tsv", no_argument, nullptr, kTsv},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    bool styled = false;
    opterr = 0;
    // "+": options come before the images, as POSIX has it.
    for (int c; (c = getopt_long(argc, argv, "+o:qh", kLong, nullptr)) != -1;) {
        switch (c) {
            case 'o':
                options.output = optarg;
                break;
            case 'q':
                options.quiet = true;
                break;
            case kCsv:
            case kTsv:
                if (styled) usage_error("--csv and --tsv exclude each other");
                styled = true;
                options.style = c == kCsv ? TableStyle::csv : TableStyle::tsv;
                break;
            case 'h':
                exit_printing(kHelp);
            case kVersion:
                exit_printing("lumtab " LUMTAB_VERSION "\n");
            default: {
                std::string option = optopt == 0    ? argv[optind - 1]
                                     : optopt < 256 ? std::string("-") + char(optopt)
                                                    : argv[optind - 1];
                usage_error(optopt != 0 && std::string("o").find(char(optopt)) != std::string::npos
                                ? "option " + option + " needs a file name"
                                : "unknown option " + printable(option));
            }
        }
    }
    options.images.assign(argv + optind, argv + argc);
    if (options.images.empty()) usage_error("");
    if (options.output && options.images.size() > 1)
        usage_error("-o takes one image, not " + std::to_string(options.images.size()));
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

// The table's name: the image's path with the last three characters of its file
// name replaced by `suffix`.
std::string table_name(const std::string& image, std::string_view suffix) {
    std::size_t slash = image.rfind('/');
    std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::vector<std::size_t> starts = character_starts(std::string_view(image).substr(base));
    if (starts.size() < 3)
        throw Error(image,
                    "file name too short to form the table's name (three characters at least)");
    return image.substr(0, base + starts[starts.size() - 3]).append(suffix);
}

// Refuses an output that would be the image itself, under the same name or through a link.
void refuse_same_file(const std::string& image, const std::string& output) {
    struct stat image_status {
    }, output_status{};
    if (::stat(image.c_str(), &image_status) == 0 && ::stat(output.c_str(), &output_status) == 0 &&
        image_status.st_dev == output_status.st_dev && image_status.st_ino == output_status.st_ino)
        throw Error(image, "its table " + output + " would replace the image itself");
}

// Shows how far a conversion has come on one line of standard error that redraws
// itself, once it has run for a second, when standard error is a terminal.
class Progress {
  public:
    Progress(bool wanted, const std::string& name, std::uint64_t total)
        : wanted_(wanted && total > 0 && ::isatty(STDERR_FILENO)),
          name_(printable(name)),
          total_(total),
          start_(Clock::now()),
          drawn_at_(start_) {}
    ~Progress() {
        if (drawn_) draw("\r\033[K");
    }

    void update(std::uint64_t done) {
        if (!wanted_) return;
        auto now = Clock::now();
        if (now - start_ < std::chrono::seconds(1) ||
            now - drawn_at_ < std::chrono::milliseconds(100))
            return;
        drawn_at_ = now;
        drawn_ = true;
        draw("\rlumtab: " + name_ + ": " + std::to_string(done * 100 / total_) + "%");
    }

  private:
    using Clock = std::chrono::steady_clock;

    static void draw(const std::string& text) {
        ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
        (void)ignored;
    }

    bool wanted_;
    std::string name_;
    std::uint64_t total_;
    Clock::time_point start_;
    Clock::time_point drawn_at_;
    bool drawn_ = false;
};

// The samples a block of table text holds at most.
constexpr std::size_t kBlockSamples = 256 * 1024;
constexpr std::size_t kBlockSize = TableFormatter::max_text_size(kBlockSamples);

// Reads an image's samples and formats them into blocks of table text.
class TableText {
  public:
    TableText(PgmReader& reader, TableStyle style)
        : reader_(reader),
          header_(reader.header()),
          formatter_(style, header_.width),
          samples_(std::make_unique_for_overwrite<std::uint16_t[]>(kBlockSamples)) {}

    // Formats the next block into `block`, which holds kBlockSize bytes; returns its
    // length, 0 at the end of the table. Throws Error for a fault in the image.
    std::size_t next(char* block) {
        if (header_.width == 0) {
            // Rows without samples: the table is their line feeds.
            std::size_t n = std::min<std::uint64_t>(header_.height - empty_rows_, kBlockSize);
            std::fill_n(block, n, '\n');
            empty_rows_ += n;
            return n;
        }
        std::size_t n;
        char* end;
        if (header_.max_value > 255) {
            n = reader_.read(std::span(samples_.get(), kBlockSamples));
            end = formatter_.format(std::span<const std::uint16_t>(samples_.get(), n), block);
        } else {
            auto* bytes = reinterpret_cast<std::uint8_t*>(samples_.get());
            n = reader_.read(std::span(bytes, kBlockSamples));
            end = formatter_.format(std::span<const std::uint8_t>(bytes, n), block);
        }
        done_.store(reader_.samples_read(), std::memory_order_relaxed);
        return static_cast<std::size_t>(end - block);
    }

    // The samples formatted so far; any thread may ask.
    std::uint64_t done() const { return done_.load(std::memory_order_relaxed); }
    // At most the table's size in bytes.
    std::uint64_t size_bound() const { return 7 * header_.samples() + header_.height; }

  private:
    PgmReader& reader_;
    PgmHeader header_;
    TableFormatter formatter_;
    std::unique_ptr<std::uint16_t[]> samples_;
    std::uint64_t empty_rows_ = 0;
    std::atomic<std::uint64_t> done_{0};
};

// Formats and writes the table a block at a time on this thread alone.
void write_blocks(TableText& text, OutputFile& out, Progress& progress) {
    auto block = std::make_unique_for_overwrite<char[]>(kBlockSize);
    while (std::size_t length = text.next(block.get())) {
        out.write({block.get(), length});
        progress.update(text.done());
    }
}

// Reads and formats the table on a second thread while this one writes it: the two
// pass three blocks back and forth. Returns false, having done nothing, if the
// second thread cannot be started.
bool write_blocks_in_parallel(TableText& text, OutputFile& out, Progress& progress) {
    constexpr std::size_t kBlocks = 3;
    std::array<std::unique_ptr<char[]>, kBlocks> blocks;
    std::array<std::size_t, kBlocks> lengths{};  // 0 marks the end of the table
    for (auto& block : blocks)
        block = std::make_unique_for_overwrite<char[]>(kBlockSize);
    std::counting_semaphore<kBlocks> free(kBlocks);
    std::counting_semaphore<kBlocks> full(0);
    std::atomic<bool> stop{false};
    std::exception_ptr failure;  // the formatter's; it ends the table

    std::thread formatter;
    try {
        formatter = std::thread([&] {
            for (std::size_t i = 0;; ++i) {
                free.acquire();
                if (stop) return;
                std::size_t length = 0;
                try {
                    length = text.next(blocks[i % kBlocks].get());
                } catch (...) {
                    failure = std::current_exception();
                }
                lengths[i % kBlocks] = length;
                full.release();
                if (length == 0) return;
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    try {
        for (std::size_t i = 0;; ++i) {
            full.acquire();
            std::size_t length = lengths[i % kBlocks];
            if (length == 0) break;
            out.write({blocks[i % kBlocks].get(), length});
            progress.update(text.done());
            free.release();
        }
    } catch (...) {
        stop = true;
        free.release();
        formatter.join();
        throw;
    }
    formatter.join();
    if (failure) std::rethrow_exception(failure);
    return true;
}

// Converts one image into its table; throws Error.
void convert(const std::string& image, const Options& options) {
    bool from_stdin = image == "-";
    std::string output = options.output ? *options.output
                         : from_stdin   ? "-"
                                        : table_name(image, table_suffix(options.style));
    bool to_stdout = output == "-";
    if (!from_stdin && !to_stdout) refuse_same_file(image, output);

    std::optional<Input> in;
    if (from_stdin) {
        in.emplace(Input::StandardInput{});
    } else {
        in.emplace(image);
    }
    PgmReader reader(*in);
    std::optional<OutputFile> out;
    if (to_stdout) {
        out.emplace(OutputFile::StandardOutput{});
    } else {
        out.emplace(output);
    }
    TableText text(reader, options.style);
    Progress progress(!options.quiet, in->name(), reader.header().samples());
    // A small table is not worth a thread.
    if (text.size_bound() <= 2 * kBlockSize || !write_blocks_in_parallel(text, *out, progress))
        write_blocks(text, *out, progress);
    in->close();
    out->commit();
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    Options options = parse_options(argc, argv);
    int status = 0;
    for (const std::string& image : options.images) {
        try {
            convert(image, options);
        } catch (const Error& error) {
            report(error);
            status = 1;
        } catch (const std::bad_alloc&) {
            report(Error(image == "-" ? "standard input" : image, "out of memory"));
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
