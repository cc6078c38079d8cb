#include "command/flat_run.h"

#include <unistd.h>

#include <memory>
#include <new>
#include <optional>

#include "command/output_names.h"
#include "command/progress.h"
#include "command/report.h"
#include "io/input.h"
#include "table/flat.h"

namespace lumtab {

namespace {

// The run's table must not replace one of its images: refused before anything.
void check_not_an_input(const std::string& table, const RunFiles& run) {
    if (std::optional<std::size_t> input = run.input_at(table))
        throw Error(table,
                    "the table would replace " + run.name_of(*input) + ", an input of this run");
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
        if (inputs.is_standard_input(index)) {
            image.in = std::make_unique<Input>(STDIN_FILENO, "standard input", false);
        } else {
            image.in = std::make_unique<Input>(name);
        }
        if (options.label == Options::Label::directory) image.label = directory_label(name);
        if (options.label == Options::Label::name) image.label = name_label(name);
    } catch (const Error& error) {
        image.refused = error;
    } catch (const std::bad_alloc&) {
        image.refused =
            Error(inputs.is_standard_input(index) ? "standard input" : name, "out of memory");
    }
}

}  // namespace

int write_flat(const Options& options, const Inputs& inputs) {
    const std::string table = options.output.value_or("-");
    int status = 0;
    try {
        RunFiles run(inputs);
        if (table != "-") check_not_an_input(table, run);
        BatchProgress progress(!options.quiet, inputs.names.size(), run.total_size());
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
