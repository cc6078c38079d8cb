// A table back into an image, read in runs of text parsed on two threads.
#include <algorithm>
#include <optional>

#include "convert.h"
#include "growing_image.h"
#include "input.h"
#include "output_file.h"
#include "progress.h"
#include "table_reader.h"

void table_to_image(Input& in, const Destination& destination, std::int32_t max_value) {
    std::optional<OutputFile> out;
    if (destination.name == "-") {
        out.emplace(OutputFile::StandardOutput{});
    } else {
        out.emplace(destination.name);
    }
    GrowingImage image(*out, " from " + in.name(), max_value);
    const std::uint64_t start = in.offset();
    Progress progress(destination.progress, in.name(),
                      static_cast<std::uint64_t>(std::max<std::int64_t>(in.bytes_left(), 0)));
    TableShape shape = read_table(
        in, max_value != 0 ? static_cast<std::uint32_t>(max_value) : 65535,
        [&](std::span<const std::uint16_t> samples) { image.append(samples); },
        [&] { progress.update(in.offset() - start); });
    in.close();
    image.finish(shape.width, shape.height);
    out->commit();
}
