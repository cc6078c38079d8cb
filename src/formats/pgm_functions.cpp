// read_pgm, write_pgm and write_pgm_16: the library's readers and writers behind
// the declarations that programs were written against, with their contract of
// reporting a failure themselves and ending the process.
#include <lumtab/pgm.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>

#include "formats/netpbm_reader.h"
#include "formats/netpbm_writer.h"
#include "io/error_text.h"
#include "io/input.h"
#include "io/memory_error.h"
#include "io/output_file.h"
#include "io/report.h"

namespace {

using lumtab::Error;

// Runs `body`; a failure is reported on standard error and ends the process with
// status 1, as read_pgm and write_pgm promise.
template <typename Body>
auto exit_on_failure(const std::string& file_name, Body body) {
    try {
        return lumtab::out_of_memory_as_error(file_name, body);
    } catch (const Error& error) {
        lumtab::report(error);
        std::exit(1);
    }
}

// Checks what write_pgm and write_pgm_16 are given; throws Error.
lumtab::ImageInfo checked_info(const std::string& file_name, std::size_t given, std::int32_t width,
                               std::int32_t height, std::int32_t max_value) {
    lumtab::ImageInfo info{lumtab::Format::pgm_binary, width, height, max_value, 1};
    if (width >= 0 && height >= 0 && given < info.samples())
        throw Error(file_name, "the image needs " + std::to_string(info.samples()) +
                                   " pixels but only " + std::to_string(given) + " were given");
    return info;
}

// Writes the image `file_name` as `info` says, `samples` its raster. A file that
// cannot be created gets the message callers may match, without a line feed, and
// ends the process; anything else is thrown.
template <typename Sample>
void write_file(const std::string& file_name, const lumtab::ImageInfo& info,
                const std::string& comment, std::span<const Sample> samples) {
    lumtab::netpbm_header(file_name, info, comment);  // refuses what cannot be written
    std::optional<lumtab::OutputFile> out;
    try {
        out.emplace(file_name);
    } catch (const Error&) {
        std::string message = "Unable to open file: " + lumtab::printable(file_name);
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::exit(1);
    }
    lumtab::NetpbmWriter writer(info, comment, lumtab::destination(*out));
    writer.write(samples.first(static_cast<std::size_t>(info.samples())));
    writer.finish();
    out->commit();
}

}  // namespace

int read_pgm(const std::string& file_name, std::vector<std::uint8_t>& pixels, std::int32_t& width,
             std::int32_t& height) {
    return exit_on_failure(file_name, [&] {
        lumtab::Input in(file_name);
        lumtab::NetpbmReader reader(in);
        const lumtab::ImageInfo& info = reader.info();
        if (info.channels != 1)
            throw Error(file_name, "image of " + std::to_string(info.channels) + " channels (" +
                                       lumtab::printable(info.tuple_type) +
                                       "): read_pgm reads grey images");
        if (info.wide())
            throw Error(file_name,
                        "maximum value " + std::to_string(info.max_value) +
                            " means 16-bit samples, but read_pgm holds one byte a sample");
        // The pixels grow as they arrive: a claim costs no more memory than the
        // bytes behind it.
        pixels.clear();
        if (std::int64_t left = in.bytes_left(); left >= 0)
            pixels.reserve(std::min<std::uint64_t>(info.samples(), std::uint64_t(left)));
        while (reader.samples_read() < info.samples()) {
            std::size_t old = pixels.size();
            pixels.resize(old + std::min<std::uint64_t>(info.samples() - old, 1 << 20));
            reader.read(std::span(pixels).subspan(old));
        }
        in.close();
        width = info.width;
        height = info.height;
        return info.max_value;
    });
}

void write_pgm(const std::string& file_name, std::span<const std::uint8_t> pixels,
               std::int32_t width, std::int32_t height, std::int32_t max_value,
               const std::string& comment) {
    exit_on_failure(file_name, [&] {
        if (max_value < 1 || max_value > 255)
            throw Error(file_name, "maximum value " + std::to_string(max_value) +
                                       " is out of range (1 to 255)");
        write_file(file_name, checked_info(file_name, pixels.size(), width, height, max_value),
                   comment, pixels);
    });
}

void write_pgm_16(const std::string& file_name, std::span<const std::uint16_t> samples,
                  std::int32_t width, std::int32_t height, std::int32_t max_value,
                  const std::string& comment) {
    exit_on_failure(file_name, [&] {
        write_file(file_name, checked_info(file_name, samples.size(), width, height, max_value),
                   comment, samples);
    });
}
