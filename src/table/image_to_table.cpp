// An image into its table, a block of samples at a time, on two threads.
#include <algorithm>
#include <memory>
#include <optional>
#include <span>

#include <lumtab/error.h>
#include "formats/netpbm_reader.h"
#include "image/channels.h"
#include "io/input.h"
#include "io/output_file.h"
#include "table/convert.h"
#include "table/table_format.h"
#include "threads/relay.h"

namespace lumtab {

namespace {

// The samples a block of table text holds at most.
constexpr std::size_t kBlockSamples = 256 * 1024;
constexpr std::size_t kBlockSize = TableFormatter::max_text_size(kBlockSamples);

// A block of the table: samples read in turn, and their text.
struct Block {
    std::unique_ptr<std::uint16_t[]> samples;
    std::unique_ptr<char[]> text;
    std::size_t capacity = 0;          // the samples that `samples` holds, and `text` their text
    std::unique_ptr<PlainText> plain;  // a plain image's samples, until parsed
    std::uint64_t first = 0;           // the image's index of the first sample, or row
    std::size_t count = 0;             // samples, or rows of an image 0 pixels wide
    std::size_t length = 0;            // bytes of text

    // Makes room for `count` samples and their text, where there is less: a small
    // image's blocks are as small as the image.
    void make_room(std::size_t count) {
        if (capacity >= count && samples) return;
        // Room past the samples for the parser's wide stores.
        samples = std::make_unique_for_overwrite<std::uint16_t[]>(count + 16);
        text = std::make_unique_for_overwrite<char[]>(TableFormatter::max_text_size(count));
        capacity = count;
    }

    std::span<std::uint8_t> bytes() {
        return {reinterpret_cast<std::uint8_t*>(samples.get()), capacity};
    }
    std::span<std::uint16_t> words() { return {samples.get(), capacity}; }
};

// An image's table, a block at a time: the blocks must be read in turn, but each
// can be formatted on its own, on any thread.
class TableText {
  public:
    TableText(Decoder& reader, TableStyle style, const Selection& selection)
        : reader_(reader),
          plain_(reader.netpbm() != nullptr && reader.netpbm()->decimal_text() ? reader.netpbm()
                                                                               : nullptr),
          header_(reader.info()),
          style_(style),
          selection_(selection),
          // Whole pixels a block, so that each can be formatted on its own; for an
          // image 0 pixels wide, rows.
          block_samples_(static_cast<std::size_t>(
              header_.width == 0
                  ? std::min<std::uint64_t>(header_.height, kBlockSamples)
                  : std::min<std::uint64_t>(kBlockSamples / std::size_t(header_.channels) *
                                                std::size_t(header_.channels),
                                            header_.samples()))) {}

    // Reads the next block's samples; false at the end of the image. Throws Error
    // for a fault in it, or, for a plain image, leaves that to format().
    bool read(Block& block) {
        block.make_room(block_samples_);
        block.first = next_;
        if (plain_ != nullptr && header_.width != 0) {
            if (!block.plain) block.plain = std::make_unique<PlainText>();
            block.count = plain_->take_text(*block.plain, block_samples_);
            next_ += block.count;
            return block.count != 0 || block.plain->fault;
        }
        if (header_.width == 0) {
            // Rows without samples: the table is their line feeds.
            block.count = std::min<std::uint64_t>(header_.height - next_, block_samples_);
        } else if (wide()) {
            block.count = reader_.read(block.words().first(block_samples_));
        } else {
            block.count = reader_.read(block.bytes().first(block_samples_));
        }
        next_ += block.count;
        return block.count != 0;
    }

    // Formats a block read: the values the selection takes of its pixels, their
    // row and column following from its first sample. Throws Error for a fault in
    // a plain image's samples.
    void format(Block& block) const {
        if (block.plain) {
            if (wide()) {
                plain_->parse_text(*block.plain, block.words());
            } else {
                plain_->parse_text(*block.plain, block.bytes());
            }
        }
        if (header_.width == 0) {
            std::fill_n(block.text.get(), block.count, '\n');
            block.length = block.count;
            return;
        }
        const auto channels = static_cast<std::uint64_t>(header_.channels);
        const auto per_pixel = static_cast<std::uint64_t>(selection_.values_per_pixel());
        const std::uint64_t row = std::uint64_t(header_.width) * per_pixel;
        TableFormatter formatter(
            style_, static_cast<std::int64_t>(row),
            static_cast<std::int64_t>(block.first / channels * per_pixel % row));
        char* end;
        if (wide()) {
            auto samples = block.words().first(block.count);
            end = formatter.format(samples.first(apply(selection_, samples, samples.data())),
                                   block.text.get());
        } else {
            auto samples = block.bytes().first(block.count);
            end = formatter.format(samples.first(apply(selection_, samples, samples.data())),
                                   block.text.get());
        }
        block.length = static_cast<std::size_t>(end - block.text.get());
    }

    // At most the table's size in bytes.
    std::uint64_t size_bound() const {
        return kMostTextPerSample * header_.samples() / std::uint64_t(header_.channels) *
                   std::uint64_t(selection_.values_per_pixel()) +
               std::uint64_t(header_.height);
    }

  private:
    bool wide() const { return header_.wide(); }

    Decoder& reader_;
    NetpbmReader* plain_;  // a plain Netpbm image's reader, whose text is parsed apart
    ImageInfo header_;
    TableStyle style_;
    Selection selection_;
    std::size_t block_samples_;
    std::uint64_t next_ = 0;
};

}  // namespace

void image_to_table(Input& in, const std::string& out_name, TableStyle style,
                    std::string_view channel, const ProgressReport& progress) {
    std::unique_ptr<Decoder> decoder = open_decoder(in);
    Decoder& reader = *decoder;
    const Selection selection = select_channels(reader.info(), channel, in.name());
    std::optional<OutputFile> out;
    open_output(out, out_name);
    TableText text(reader, style, selection);
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
