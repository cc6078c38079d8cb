// An image into its table, a block of samples at a time, on two threads.
#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

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

// The samples a block of table text holds at most; of another type than uint,
// whose text is longer, fewer.
constexpr std::size_t kBlockSamples = 256 * 1024;
constexpr std::size_t kRealBlockSamples = 64 * 1024;
constexpr std::size_t kBlockSize = TableFormatter::max_text_size(kBlockSamples);

// A block of the table: samples read in turn, and their text.
struct Block {
    std::unique_ptr<std::uint16_t[]> samples;
    std::unique_ptr<double[]> values;  // or these, for samples of another type than uint
    std::unique_ptr<char[]> text;
    std::size_t capacity = 0;          // the samples that `samples` holds, and `text` their text
    std::unique_ptr<PlainText> plain;  // a plain image's samples, until parsed
    std::uint64_t first = 0;           // the image's index of the first sample, or row
    std::size_t count = 0;             // samples, or rows of an image 0 pixels wide
    std::size_t length = 0;            // bytes of text

    // Makes room for `count` samples and text of `text_size`, where there is less: a
    // small image's blocks are as small as the image.
    void make_room(std::size_t count, bool real, std::size_t text_size) {
        if (capacity >= count && (samples || values)) return;
        if (real) {
            values = std::make_unique_for_overwrite<double[]>(count);
        } else {
            // Room past the samples for the parser's wide stores.
            samples = std::make_unique_for_overwrite<std::uint16_t[]>(count + 16);
        }
        text = std::make_unique_for_overwrite<char[]>(text_size);
        capacity = count;
    }

    std::span<std::uint8_t> bytes() {
        return {reinterpret_cast<std::uint8_t*>(samples.get()), capacity};
    }
    std::span<std::uint16_t> words() { return {samples.get(), capacity}; }
    std::span<double> reals() { return {values.get(), capacity}; }
};

// An image's table, a block at a time: the blocks must be read in turn, but each
// can be formatted on its own, on any thread.
class TableText {
  public:
    TableText(Decoder& reader, TableStyle style, bool coordinates, const Selection& selection)
        : reader_(reader),
          plain_(reader.netpbm() != nullptr && reader.netpbm()->decimal_text() ? reader.netpbm()
                                                                               : nullptr),
          header_(reader.info()),
          style_(style),
          coordinates_(coordinates),
          selection_(selection),
          // Whole pixels a block, so that each can be formatted on its own; for an
          // image 0 pixels wide, rows.
          block_samples_(static_cast<std::size_t>(
              header_.width == 0
                  ? std::min<std::uint64_t>(header_.height, kBlockSamples)
                  : std::min<std::uint64_t>(most_samples() / std::size_t(header_.channels) *
                                                std::size_t(header_.channels),
                                            header_.samples()))) {}

    // Reads the next block's samples; false at the end of the image. Throws Error
    // for a fault in it, or, for a plain image, leaves that to format().
    bool read(Block& block) {
        block.make_room(block_samples_, real(), text_size(block_samples_));
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
        } else if (real()) {
            block.count = reader_.read(block.reals().first(block_samples_));
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
            // The rows of a matrix, which have no pixels; a coordinate table has no lines.
            const std::size_t lines = coordinates_ ? 0 : block.count;
            std::fill_n(block.text.get(), lines, '\n');
            block.length = lines;
            return;
        }
        const auto channels = static_cast<std::uint64_t>(header_.channels);
        const int per_pixel = selection_.values_per_pixel();
        const std::uint64_t first = block.first / channels * static_cast<std::uint64_t>(per_pixel);
        char* end;
        if (real()) {
            auto samples = block.reals().first(block.count);
            end = format_values(
                samples.first(apply(selection_, samples, samples.data(), header_.sample_type)),
                first, block.text.get());
        } else if (wide()) {
            auto samples = block.words().first(block.count);
            end = format_values(samples.first(apply(selection_, samples, samples.data())), first,
                                block.text.get());
        } else {
            auto samples = block.bytes().first(block.count);
            end = format_values(samples.first(apply(selection_, samples, samples.data())), first,
                                block.text.get());
        }
        block.length = static_cast<std::size_t>(end - block.text.get());
    }

    // At most the table's size in bytes.
    std::uint64_t size_bound() const {
        const std::uint64_t values = header_.samples() / std::uint64_t(header_.channels) *
                                     std::uint64_t(selection_.values_per_pixel());
        return text_size(values) + std::uint64_t(header_.height);
    }

  private:
    bool wide() const { return header_.wide(); }
    bool real() const { return header_.real(); }

    std::size_t most_samples() const { return real() ? kRealBlockSamples : kBlockSamples; }

    // The most text that `samples` samples of the image take.
    std::uint64_t text_size(std::uint64_t samples) const {
        return coordinates_ ? CoordinateFormatter::max_text_size(samples, real())
                            : TableFormatter::max_text_size(samples, real());
    }

    // The text of `values`, the first of them value `first` of the table.
    template <typename Value>
    char* format_values(std::span<Value> values, std::uint64_t first, char* out) const {
        const int per_pixel = selection_.values_per_pixel();
        const std::uint64_t row = std::uint64_t(header_.width) * std::uint64_t(per_pixel);
        auto formatted = [&](auto& formatter) {
            if constexpr (std::is_same_v<Value, double>) {
                return formatter.format(std::span<const double>(values), header_.sample_type, out);
            } else {
                return formatter.format(std::span<const Value>(values), out);
            }
        };
        if (coordinates_) {
            CoordinateFormatter formatter(style_, header_.width, per_pixel, first);
            return formatted(formatter);
        }
        TableFormatter formatter(style_, static_cast<std::int64_t>(row),
                                 static_cast<std::int64_t>(first % row));
        return formatted(formatter);
    }

    Decoder& reader_;
    NetpbmReader* plain_;  // a plain Netpbm image's reader, whose text is parsed apart
    ImageInfo header_;
    TableStyle style_;
    bool coordinates_;
    Selection selection_;
    std::size_t block_samples_;
    std::uint64_t next_ = 0;
};

// The names of the values a coordinate table gives of each pixel: the channels
// the selection takes, as --channel takes them.
std::vector<std::string> value_names(const ImageInfo& info, const Selection& selection) {
    std::vector<std::string> names = channel_names(info);
    if (names.empty())
        for (int i = 0; i < info.channels; ++i)
            names.push_back(std::to_string(i));
    if (selection.kind == Selection::Kind::all) return names;
    return {selection.kind == Selection::Kind::luma ? "luma"
                                                    : names[std::size_t(selection.channel)]};
}

}  // namespace

void image_to_table(Input& in, const std::string& out_name, TableStyle style,
                    const TableLayout& layout, std::string_view channel,
                    const ProgressReport& progress) {
    std::unique_ptr<Decoder> decoder = open_decoder(in);
    Decoder& reader = *decoder;
    const Selection selection = select_channels(reader.info(), channel, in.name());
    std::optional<OutputFile> out;
    open_output(out, out_name);
    if (layout.header) out->write(coordinate_header(style, value_names(reader.info(), selection)));
    TableText text(reader, style, layout.coordinates, selection);
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
