// Writes an image made from the input with write_pgm and reads the file back with
// read_pgm: what comes back must be what went in. The first three bytes choose
// width, height and maximum value, the next width × height bytes are the pixels and
// the rest is the comment, line breaks and all.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "pgm.h"

namespace {

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
    if (size < 3) return 0;
    std::int32_t width = data[0] % 64;
    std::int32_t height = data[1] % 64;
    std::int32_t max_value = 1 + data[2] % 255;
    data += 3;
    size -= 3;
    if (width != 0) height = std::min<std::int32_t>(height, size / width);
    std::size_t count = std::size_t(width) * height;
    std::vector<std::uint8_t> pixels(data, data + count);
    std::string comment(reinterpret_cast<const char*>(data) + count, size - count);
    // The writer refuses a comment holding a NUL byte, and ends the process.
    if (comment.find('\0') != std::string::npos) return 0;

    write_pgm(scratch_file(), pixels, width, height, max_value, comment);
    std::vector<std::uint8_t> read;
    std::int32_t read_width = -1, read_height = -1;
    int read_max_value = read_pgm(scratch_file(), read, read_width, read_height);
    if (read_width != width || read_height != height || read_max_value != max_value ||
        read != pixels)
        std::abort();
    return 0;
}
