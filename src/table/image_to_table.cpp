// An image into its table, a block of samples at a time, on two threads.
#include <algorithm>
#include <memory>
#include <optional>
#include <span>

#include <lumtab/error.h>
#include "formats/pgm_reader.h"
#include "io/input.h"
#include "io/output_file.h"
#include "table/convert.h"
#include "table/relay.h"
#include "table/table_format.h"

namespace lumtab {

namespace {

// The samples a block of table text holds at most.
constexpr std::size_t kBlockSamples = 256 * 1024;
constexpr std::size_t kBlockSize = TableFormatter::max_text_size(kBlockSamples);

// A block of the table: samples read in turn, and their text.
struct Block {
    // Room past the samples for the parser's wide stores.
    std::unique_ptr<std::uint16_t[]> samples =
        std::make_unique_for_overwrite<std::uint16_t[]>(kBlockSamples + 16);
    std::unique_ptr<char[]> text = std::make_unique_for_overwrite<char[]>(kBlockSize);
    std::unique_ptr<PlainText> plain;  // a plain image's samples, until parsed
    std::uint64_t first = 0;           // the image's index of the first sample, or row
    std::size_t count = 0;             // samples, or rows of an image 0 pixels wide
    std::size_t length = 0;            // bytes of text

    std::span<std::uint8_t> bytes() {
        return {reinterpret_cast<std::uint8_t*>(samples.get()), kBlockSamples};
    }
    std::span<std::uint16_t> words() { return {samples.get(), kBlockSamples}; }
};

// An image's table, a block at a time: the blocks must be read in turn, but each
// can be formatted on its own, on any thread.
class TableText {
  public:
    TableText(PgmReader& reader, TableStyle style)
        : reader_(reader), header_(reader.info()), style_(style) {}

    // Reads the next block's samples; false at the end of the image. Throws Error
    // for a fault in it, or, for a plain image, leaves that to format().
    bool read(Block& block) {
        block.first = next_;
        if (reader_.plain() && header_.width != 0) {
            if (!block.plain) block.plain = std::make_unique<PlainText>();
            block.count = reader_.take_text(*block.plain, kBlockSamples);
            next_ += block.count;
            return block.count != 0 || block.plain->fault;
        }
        if (header_.width == 0) {
            // Rows without samples: the table is their line feeds.
            block.count = std::min<std::uint64_t>(header_.height - next_, kBlockSize);
        } else if (wide()) {
            block.count = reader_.read(block.words());
        } else {
            block.count = reader_.read(block.bytes());
        }
        next_ += block.count;
        return block.count != 0;
    }

    // Formats a block read: its row and column follow from its first sample. Throws
    // Error for a fault in a plain image's samples.
    void format(Block& block) const {
        if (block.plain) {
            if (wide()) {
                reader_.parse_text(*block.plain, block.words());
            } else {
                reader_.parse_text(*block.plain, block.bytes());
            }
        }
        if (header_.width == 0) {
            std::fill_n(block.text.get(), block.count, '\n');
            block.length = block.count;
            return;
        }
        TableFormatter formatter(style_, header_.width, block.first % header_.width);
        char* end = wide() ? formatter.format(block.words().first(block.count), block.text.get())
                           : formatter.format(block.bytes().first(block.count), block.text.get());
        block.length = static_cast<std::size_t>(end - block.text.get());
    }

    // At most the table's size in bytes.
    std::uint64_t size_bound() const {
        return kMostTextPerSample * header_.samples() + header_.height;
    }

  private:
    bool wide() const { return header_.wide(); }

    PgmReader& reader_;
    ImageInfo header_;
    TableStyle style_;
    std::uint64_t next_ = 0;
};

}  // namespace

void image_to_table(Input& in, const std::string& out_name, TableStyle style,
                    const ProgressReport& progress) {
    PgmReader reader(in);
    std::optional<OutputFile> out;
    if (out_name == "-") {
        out.emplace(OutputFile::StandardOutput{});
    } else {
        out.emplace(out_name);
    }
    TableText text(reader, style);
    const std::uint64_t total = reader.info().samples();
    Relay<Block> relay([&](Block& block) { return text.read(block); },
                       [&](Block& block) { text.format(block); },
                       [&](Block& block) {
                           out->write({block.text.get(), block.length});
                           if (progress) progress(block.first + block.count, total);
                       });
    // A small table is not worth a thread.
    relay.run(text.size_bound() > 2 * kBlockSize);
    in.close();
    out->commit();
}

}  // namespace lumtab
