// lumtab: writes the samples of PGM images as text tables, one line a row, and
// with --reverse reads such tables back into images.
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <new>
#include <optional>
#include <string>

#include "command/options.h"
#include "command/output_names.h"
#include "command/progress.h"
#include "command/report.h"
#include "command/signals.h"
#include "io/input.h"
#include "table/convert.h"

namespace lumtab {

namespace {

// The last three characters of the name of an image of `channels` read back.
std::string image_suffix(int channels) {
    return channels == 1 ? "pgm" : channels == 3 ? "ppm" : "pam";
}

// Converts one image into its table, or with --reverse one table into its image;
// throws Error.
void convert(const std::string& file, const Options& options, RunFiles& run) {
    bool from_stdin = file == "-";
    std::string suffix(options.reverse ? image_suffix(options.channels)
                                       : table_suffix(options.style));
    std::string out = options.output ? *options.output
                      : from_stdin   ? "-"
                                     : replace_last_three(file, suffix);
    bool to_file = out != "-";
    std::optional<RunFiles::FileId> before;
    if (to_file) before = run.check(file, out, options.reverse);

    std::optional<Input> in;
    if (from_stdin) {
        in.emplace(STDIN_FILENO, "standard input", false);
    } else {
        in.emplace(file);
    }
    Progress progress(!options.quiet, in->name());
    auto report_progress = [&](std::uint64_t done, std::uint64_t total) {
        progress.update(done, total);
    };
    if (options.reverse) {
        table_to_image(*in, out, options.max_value, options.channels, report_progress);
    } else {
        image_to_table(*in, out, options.style, options.channel, report_progress);
    }
    if (to_file) run.record(file, out, before);
}

// Whether the locale's encoding may matter: for a name that is not ASCII, or for
// progress drawn on a terminal. Loading it costs as much as converting a small
// image, so a run that needs neither does without.
bool needs_locale(int argc, char** argv) {
    if (::isatty(STDERR_FILENO)) return true;
    for (int i = 1; i < argc; ++i)
        for (const char* c = argv[i]; *c != '\0'; ++c)
            if (static_cast<unsigned char>(*c) >= 0x80) return true;
    return false;
}

}  // namespace

}  // namespace lumtab

int main(int argc, char** argv) {
    using namespace lumtab;
    if (needs_locale(argc, argv)) std::setlocale(LC_CTYPE, "");
    set_signal_policy();
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
            report(Error(input_name(file), "out of memory"));
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
