#include "command/flat_run.h"

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "command/output_names.h"
#include "command/progress.h"
#include "io/input.h"
#include "io/memory_error.h"
#include "io/report.h"
#include "table/flat.h"

namespace lumtab {

namespace {

// The run's table must not replace one of its images: refused before anything.
void check_not_an_input(const std::string& table, const RunFiles& run) {
    if (std::optional<std::size_t> input = run.input_at(table))
        throw Error(table,
                    "the table would replace " + run.name_of(*input) + ", an input of this run");
}

// The name of the directory that holds the image `path`: its path's last directory,
// or where there is none (or it is "." or ".."), that directory's own name. Throws
// Error where that cannot be found.
std::string directory_label(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    while (directory.size() > 1 && directory.ends_with('/'))
        directory.pop_back();
    if (directory.empty() || directory == "/") return "/";
    std::string last = directory.substr(directory.rfind('/') + 1);
    if (last != "." && last != "..") return last;
    char resolved[PATH_MAX];
    if (::realpath(directory.c_str(), resolved) == nullptr) throw Error::from_errno(path, errno);
    std::string real(resolved);
    return real == "/" ? real : real.substr(real.rfind('/') + 1);
}

// The file name of `path` without its extension, the part from its last dot on; a
// dot that starts the name begins no extension.
std::string name_label(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Opens input `index`, and makes its label.
void open_image(const Options& options, const Inputs& inputs, std::size_t index, FlatImage& image) {
    image = {};
    if (auto refused = inputs.refused.find(index); refused != inputs.refused.end()) {
        image.refused = refused->second;
        return;
    }
    const std::string& name = inputs.names[index];
    try {
        out_of_memory_as_error(inputs.name_of(index), [&] {
            image.in = inputs.open(index);
            if (options.label == Options::Label::directory) image.label = directory_label(name);
            if (options.label == Options::Label::name) image.label = name_label(name);
        });
    } catch (const Error& error) {
        image.refused = error;
    }
}

}  // namespace

int write_flat(const Options& options, const Inputs& inputs) {
    const std::string table = options.output.value_or("-");
    int status = 0;
    try {
        RunFiles run(inputs);
        if (table != "-") check_not_an_input(table, run);
        BatchProgress progress(!options.quiet, inputs.names.size(), run.total_size(),
                               is_standard_output(table));
        std::size_t taken = 0;
        std::size_t told = 0;
        std::uint64_t bytes = 0;
        auto next = [&](FlatImage& image) {
            if (taken == inputs.names.size()) return false;
            open_image(options, inputs, taken++, image);
            return true;
        };
        auto outcome = [&](const Error* refused) {
            if (refused) {
                progress.clear();
                report(*refused);
                status = 1;
            }
            bytes += run.size_of(told++);
            progress.update(told, bytes);
        };
        write_flat_table(next, table, options.style, options.channel,
                         options.label != Options::Label::none, std::max(options.jobs, 2u),
                         outcome);
    } catch (const Error& error) {
        report(error);
        status = 1;
    }
    return status;
}

}  // namespace lumtab
