// lumtab: writes the grey values of a binary PGM image as a text table beside it,
// one line per row, each value followed by a space.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <semaphore>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "io.h"
#include "pgm.h"

namespace {

constexpr const char* kUsage = "usage: lumtab image.pgm\n";

constexpr const char* kHelp =
    "usage: lumtab image.pgm\n"
    "Writes the grey values of a binary PGM image to a text table beside it:\n"
    "one line per image row, each value followed by a space. The table's name\n"
    "is the image's with its last three characters replaced by \"int\".\n"
    "\n"
    "  -h, --help  show this help and exit\n"
    "  --version   show the version and exit\n"
    "  --          end of options: the image's name may begin with -\n";

[[noreturn]] void exit_printing(const char* text) {
    std::fputs(text, stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

[[noreturn]] void usage_error(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "lumtab: %s\n", problem.c_str());
    std::fputs(kUsage, stderr);
    std::exit(2);
}

// The image's path from the command line; answers the options itself.
std::string image_path(int argc, char** argv) {
    std::string first = argc > 1 ? argv[1] : "";
    if (first == "-h" || first == "--help") exit_printing(kHelp);
    if (first == "--version") exit_printing("lumtab " LUMTAB_VERSION "\n");
    if (first == "--") {
        if (argc < 3) usage_error("");
        return argv[2];
    }
    if (argc < 2) usage_error("");
    if (first.size() > 1 && first[0] == '-') usage_error("unknown option " + first);
    return first;
}

// The table's name: the image's path with its last three characters replaced by "int".
std::string table_name(const std::string& image) {
    std::size_t slash = image.rfind('/');
    std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (image.size() - base < 3)
        fail(image, "file name too short to form the table's name (three characters at least)");
    return image.substr(0, image.size() - 3) + "int";
}

// Refuses a table that would be the image itself, under the same name or through a link.
void refuse_same_file(const std::string& image, const std::string& table) {
    struct stat image_status, table_status;
    if (::stat(image.c_str(), &image_status) == 0 && ::stat(table.c_str(), &table_status) == 0 &&
        image_status.st_dev == table_status.st_dev && image_status.st_ino == table_status.st_ino)
        fail(image, "its table " + table + " would replace the image itself");
}

// Each grey value's table entry, "%d " preformatted: the text padded to four bytes,
// so that an entry is always copied whole, and its true length.
struct Entries {
    std::array<std::array<char, 4>, 256> text{};
    std::array<std::uint8_t, 256> length{};

    constexpr Entries() {
        for (int value = 0; value < 256; ++value) {
            int n = 0;
            if (value >= 100) text[value][n++] = static_cast<char>('0' + value / 100);
            if (value >= 10) text[value][n++] = static_cast<char>('0' + value / 10 % 10);
            text[value][n++] = static_cast<char>('0' + value % 10);
            text[value][n++] = ' ';
            length[value] = static_cast<std::uint8_t>(n);
        }
    }
};

constexpr Entries kEntries;

// The text of the table, formatted a block at a time.
class TableText {
  public:
    TableText(const std::vector<std::uint8_t>& pixels, std::int32_t width, std::int32_t height)
        : pixels_(pixels.data()), width_(width), height_(height) {}

    // At most the whole table's size in bytes.
    std::uint64_t size_bound() const { return (4 * std::uint64_t(width_) + 1) * height_; }

    bool done() const { return row_ == height_; }

    // Formats the next part of the table into `buffer`, which holds at least 5 bytes;
    // returns the number of bytes formatted.
    std::size_t fill(std::span<char> buffer) {
        char* out = buffer.data();
        char* end = out + buffer.size();
        while (row_ < height_ && end - out >= 5) {
            std::int64_t n = std::min<std::int64_t>(width_ - column_, (end - out - 1) / 4);
            const std::uint8_t* pixel = pixels_ + row_ * width_ + column_;
            for (const std::uint8_t* stop = pixel + n; pixel != stop; ++pixel) {
                std::memcpy(out, kEntries.text[*pixel].data(), 4);
                out += kEntries.length[*pixel];
            }
            column_ += n;
            if (column_ == width_) {
                *out++ = '\n';
                column_ = 0;
                ++row_;
            }
        }
        return static_cast<std::size_t>(out - buffer.data());
    }

  private:
    const std::uint8_t* pixels_;
    std::int64_t width_;
    std::int64_t height_;
    std::int64_t row_ = 0;
    std::int64_t column_ = 0;
};

// The table goes out in blocks of this size. Measured on tmpfs, 512 KiB to 1 MiB
// write fastest; 256 KiB or less takes a tenth longer.
constexpr std::size_t kBlockSize = 1024 * 1024;

// Formats and writes the table a block at a time on this thread alone.
void write_blocks(TableText& text, OutputFile& out) {
    std::size_t size = std::min<std::uint64_t>(text.size_bound() + 4, kBlockSize);
    auto block = std::make_unique_for_overwrite<char[]>(size);
    while (!text.done())
        out.write({block.get(), text.fill({block.get(), size})});
}

// Formats the table on a second thread while this one writes it, so that formatting
// costs no time of its own: the two threads pass two blocks back and forth.
// Returns false, having written nothing, if the second thread cannot be started.
bool write_blocks_in_parallel(TableText& text, OutputFile& out) {
    constexpr std::size_t kBlocks = 2;
    std::array<std::unique_ptr<char[]>, kBlocks> blocks;
    std::array<std::size_t, kBlocks> lengths{};  // 0 marks the end of the table
    for (auto& block : blocks)
        block = std::make_unique_for_overwrite<char[]>(kBlockSize);
    std::counting_semaphore<kBlocks> free(kBlocks);
    std::counting_semaphore<kBlocks> full(0);

    std::thread formatter;
    try {
        formatter = std::thread([&] {
            for (std::size_t i = 0;; ++i) {
                free.acquire();
                char* block = blocks[i % kBlocks].get();
                std::size_t length = text.done() ? 0 : text.fill({block, kBlockSize});
                lengths[i % kBlocks] = length;
                full.release();
                if (length == 0) return;
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    // A failed write ends the process from this thread; the formatter needs no cleanup.
    for (std::size_t i = 0;; ++i) {
        full.acquire();
        std::size_t length = lengths[i % kBlocks];
        if (length == 0) break;
        out.write({blocks[i % kBlocks].get(), length});
        free.release();
    }
    formatter.join();
    return true;
}

void write_table(const std::string& name, const std::vector<std::uint8_t>& pixels,
                 std::int32_t width, std::int32_t height) {
    OutputFile out;
    if (!out.open(name)) fail_with("Unable to open file: " + name + "\n");
    TableText text(pixels, width, height);
    // A small table is not worth a thread.
    if (text.size_bound() <= kBlockSize || !write_blocks_in_parallel(text, out))
        write_blocks(text, out);
    out.commit();
}

}  // namespace

int main(int argc, char** argv) {
    std::string image = image_path(argc, argv);
    std::string table = table_name(image);
    refuse_same_file(image, table);

    std::vector<std::uint8_t> pixels;
    std::int32_t width = 0;
    std::int32_t height = 0;
    read_pgm(image, pixels, width, height);
    try {
        write_table(table, pixels, width, height);
    } catch (const std::bad_alloc&) {
        fail(table, "out of memory");  // the temporary file is gone by now
    }
    return 0;
}
