// lumtab: writes the samples of images as text tables, one line a row, and
// with --reverse reads such tables back into images.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <string>

#include "command/batch.h"
#include "command/file_list.h"
#include "command/flat_run.h"
#include "command/options.h"
#include "command/signals.h"
#include "io/memory_error.h"
#include "io/report.h"

namespace lumtab {

namespace {

// A target directory must be one this process may write into.
void check_target_directory(const std::string& directory) {
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) throw Error::from_errno(directory, errno);
    if (!S_ISDIR(status.st_mode)) throw Error::from_errno(directory, ENOTDIR);
    if (::access(directory.c_str(), W_OK | X_OK) != 0) throw Error::from_errno(directory, errno);
}

// Converts every input the options name; returns the exit status.
int run(Options& options) {
    Inputs inputs;
    inputs.names = std::move(options.files);
    inputs.from_command_line = inputs.names.size();
    try {
        if (options.target_directory) check_target_directory(*options.target_directory);
        if (options.files_from)
            out_of_memory_as_error(*options.files_from, [&] {
                read_file_list(*options.files_from, options.null_separated, inputs);
            });
    } catch (const Error& error) {
        report(error);
        return 1;
    }
    if (inputs.names.empty()) return 0;
    return options.flat ? write_flat(options, inputs) : convert_all(options, inputs);
}

// Whether the locale's encoding may matter: for a name that is not ASCII, or for
// progress drawn on a terminal (names in a list are not known yet). Loading it costs as much as
// converting a small image, so a run that needs neither does without.
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
    set_signal_policy();
    Options options = parse_options(argc, argv);
    if (options.files_from || needs_locale(argc, argv)) std::setlocale(LC_CTYPE, "");
    int status = run(options);
    // Standard output may hold a table: a failure to deliver it is a failure.
    if (::close(STDOUT_FILENO) != 0 && errno != EBADF) {
        report(Error::from_errno("standard output", errno));
        status = 1;
    }
    return status;
}
