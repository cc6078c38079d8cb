// Writes an image made from the input and reads the file back: what comes back must
// be what went in. The first bytes choose width, height, writer and maximum value:
// write_pgm, read back by read_pgm; write_pgm_16 with one byte a sample or with
// two, read back by NetpbmReader; or write_image as PNG or TIFF, of 1 to 4
// channels, read back by read_image (where the build has the image libraries). The
// next samples (a byte each, or two for two-byte samples), modulo the maximum
// value plus one (the writers refuse a sample above it), are the pixels and the
// rest is the comment, line breaks and all.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "formats/netpbm_reader.h"

#include <lumtab/image.h>
#include <lumtab/pgm.h>
#include "io/input.h"

namespace {

using namespace lumtab;

// A scratch directory for the whole run, removed when the fuzzer exits.
const std::string& scratch_file() {
    static const std::string file = [] {
        std::string dir = std::filesystem::temp_directory_path() / "pgm-roundtrip-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr) std::abort();
        static const std::string kept = dir;
        std::atexit([] { std::filesystem::remove_all(kept); });
        return dir + "/image.pgm";
    }();
    return file;
}

// Writes the image in memory as `type` and reads it back: the same size, channels
// and samples, or a refusal of what the format cannot hold. A build without the
// image libraries refuses them all.
int write_and_read_back(FileType type, std::int32_t width, std::int32_t height,
                        std::int32_t max_value, int channels,
                        const std::vector<std::uint16_t>& samples, const std::string& comment) {
    Image image(width, height, max_value, channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (image.wide()) {
            image.samples16()[i] = samples[i];
        } else {
            image.samples8()[i] = static_cast<std::uint8_t>(samples[i]);
        }
    }
    std::vector<std::uint8_t> bytes;
    try {
        bytes = write_image(image, {.comment = comment, .type = type});
    } catch (const Error& error) {
        const bool may_refuse =
            width == 0 || height == 0 ||
            std::string(error.what()).find("not written by this build") != std::string::npos;
        if (!may_refuse) std::abort();
        return 0;
    }
    Image read = read_image(bytes, "image");  // an Error thrown here is a finding too
    if (read.width() != width || read.height() != height || read.channels() != channels ||
        read.wide() != image.wide() || read.samples8().size() != image.samples8().size() ||
        !std::equal(image.samples8().begin(), image.samples8().end(), read.samples8().begin()) ||
        read.samples16().size() != image.samples16().size() ||
        !std::equal(image.samples16().begin(), image.samples16().end(), read.samples16().begin()))
        std::abort();
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    std::int32_t width = data[0] % 64;
    std::int32_t height = data[1] % 64;
    // write_pgm, write_pgm_16 8-bit, write_pgm_16 16-bit, PNG, TIFF
    const int writer = data[2] % 5;
    const bool wide = writer == 2 || (writer >= 3 && data[5] & 4);
    std::int32_t max_value = wide ? 256 + (data[3] << 8 | data[4]) % 65280 : 1 + data[3] % 255;
    const int channels = writer >= 3 ? 1 + data[5] % 4 : 1;
    data += 6;
    size -= 6;
    const std::size_t sample_size = wide ? 2 : 1;
    if (width != 0) height = std::min<std::int32_t>(height, size / sample_size / width / channels);
    std::size_t count = std::size_t(width) * height * channels;
    std::vector<std::uint16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::uint16_t>(
            (sample_size == 2 ? data[2 * i] << 8 | data[2 * i + 1] : data[i]) % (max_value + 1));
    std::string comment(reinterpret_cast<const char*>(data) + count * sample_size,
                        size - count * sample_size);
    // The writers refuse a comment holding a NUL byte, and end the process.
    if (comment.find('\0') != std::string::npos) return 0;

    if (writer >= 3)
        return write_and_read_back(writer == 3 ? FileType::png : FileType::tiff, width, height,
                                   max_value, channels, samples, comment);
    if (writer == 0) {
        std::vector<std::uint8_t> pixels(samples.begin(), samples.end());
        write_pgm(scratch_file(), pixels, width, height, max_value, comment);
        std::vector<std::uint8_t> read;
        std::int32_t read_width = -1, read_height = -1;
        int read_max_value = read_pgm(scratch_file(), read, read_width, read_height);
        if (read_width != width || read_height != height || read_max_value != max_value ||
            read != pixels)
            std::abort();
        return 0;
    }
    write_pgm_16(scratch_file(), samples, width, height, max_value, comment);
    Input in(scratch_file());
    NetpbmReader reader(in);  // an Error thrown here is a finding too
    std::vector<std::uint16_t> read(count + 1);
    const ImageInfo& header = reader.info();
    if (header.format != Format::pgm_binary || header.width != width || header.height != height ||
        header.max_value != max_value || reader.read(std::span(read)) != count ||
        !std::equal(samples.begin(), samples.end(), read.begin()))
        std::abort();
    return 0;
}
