// Writes an image made from the input and reads the file back: what comes back must
// be what went in. The first bytes choose width, height, writer and maximum value:
// write_pgm, read back by read_pgm; or write_pgm_16 with one byte a sample or with
// two, read back by NetpbmReader. The next width × height samples (a byte each, or two
// for two-byte samples), modulo the maximum value plus one (the writers refuse a
// sample above it), are the pixels and the rest is the comment, line breaks and all.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    std::int32_t width = data[0] % 64;
    std::int32_t height = data[1] % 64;
    const int writer = data[2] % 3;  // write_pgm, write_pgm_16 8-bit, write_pgm_16 16-bit
    std::int32_t max_value =
        writer == 2 ? 256 + (data[3] << 8 | data[4]) % 65280 : 1 + data[3] % 255;
    data += 5;
    size -= 5;
    const std::size_t sample_size = writer == 2 ? 2 : 1;
    if (width != 0) height = std::min<std::int32_t>(height, size / sample_size / width);
    std::size_t count = std::size_t(width) * height;
    std::vector<std::uint16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::uint16_t>(
            (sample_size == 2 ? data[2 * i] << 8 | data[2 * i + 1] : data[i]) % (max_value + 1));
    std::string comment(reinterpret_cast<const char*>(data) + count * sample_size,
                        size - count * sample_size);
    // The writers refuse a comment holding a NUL byte, and end the process.
    if (comment.find('\0') != std::string::npos) return 0;

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
