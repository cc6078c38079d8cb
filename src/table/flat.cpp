// Flat tables: the images read whole in turn, their lines formatted on any thread
// and written in turn.
#include "table/flat.h"

#include <new>
#include <stdexcept>
#include <vector>

#include "formats/decoder.h"
#include "image/channels.h"
#include "io/input.h"
#include "io/memory_error.h"
#include "io/output_file.h"
#include "table/table_format.h"
#include "threads/relay.h"

namespace lumtab {

namespace {

// The samples of a line formatted at once; a longer line is formatted a part at a
// time as it is written, so that its text never takes more than this much room.
constexpr std::size_t kPartSamples = 256 * 1024;
// Room past the samples for the plain parser's wide stores.
constexpr std::size_t kMargin = 64;

// The text that the lines of one block take at most, formatted whole: a block
// holds as many images as fit, at least one, so that the threads hand over
// blocks of many small images rather than one at a time.
constexpr std::size_t kBlockText = 4 << 20;
constexpr std::size_t kMostImages = 64;

// An image on its way to its line.
struct FlatLine {
    std::optional<Error> refused;
    std::string field;  // the label as written, with the separator after it
    std::uint64_t samples = 0;
    bool wide = false;
    SampleType type = SampleType::uint;
    std::unique_ptr<std::uint8_t[]> narrow;
    std::unique_ptr<std::uint16_t[]> broad;
    std::unique_ptr<double[]> reals;  // samples of another type than uint
    std::uint64_t capacity = 0;       // samples that any of them holds
    std::size_t offset = 0;           // where its text starts in the block's
    std::size_t length = 0;           // its text's bytes, where formatted whole
    bool formatted = false;
};

// Images taken in turn, their lines formatted together.
struct FlatBlock {
    std::vector<FlatLine> lines = std::vector<FlatLine>(kMostImages);
    std::size_t count = 0;
    std::unique_ptr<char[]> text;
    std::size_t text_capacity = 0;
};

// The width, height and values a pixel of the lines, as the first image written
// has them.
struct Shape {
    std::int32_t width, height;
    int channels;
    std::string name;
};

std::string pixels(std::int32_t width, std::int32_t height) {
    return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

// `label` as the first field of a line in `style`, its separator after it. CSV
// quotes a label that holds a comma, a quote or a line break; the other styles
// cannot hold one that holds their separators, and refuse it.
std::string label_field(const std::string& label, TableStyle style, const std::string& name) {
    if (style == TableStyle::csv) {
        if (label.find_first_of(",\"\r\n") == std::string::npos) return label + ",";
        std::string quoted = "\"";
        for (char c : label) {
            if (c == '"') quoted += '"';
            quoted += c;
        }
        return quoted + "\",";
    }
    bool tabs = style == TableStyle::tsv;
    if (label.find_first_of(tabs ? "\t\r\n" : " \t\r\n\v\f") != std::string::npos)
        throw Error(name, "label \"" + label + "\" holds a " + (tabs ? "tab" : "blank") +
                              " or line break; --csv quotes it");
    return label + (tabs ? "\t" : " ");
}

class FlatLines {
  public:
    FlatLines(const NextFlatImage& next, TableStyle style, std::string_view channel, bool labelled)
        : next_(next), style_(style), channel_(channel), labelled_(labelled) {}

    // Takes the next images, as many as the block holds, and reads each whole; false
    // when none is left. A refused image is taken with the reason.
    bool take(FlatBlock& block) {
        block.count = 0;
        for (std::size_t text = 0; block.count < block.lines.size() && text < kBlockText;) {
            FlatLine& line = block.lines[block.count];
            if (!take(line)) break;
            ++block.count;
            if (!line.refused) text += line.field.size() + text_size(line, line.samples);
        }
        return block.count != 0;
    }

    // Formats the lines of the block's images that are short enough to hold whole.
    void format(FlatBlock& block) const {
        std::size_t size = 0;
        for (const FlatLine& line : taken(block))
            if (holds_whole(line)) size += line.field.size() + text_size(line, line.samples);
        reserve_text(block, std::max(size, TableFormatter::max_text_size(kPartSamples, true)));
        char* out = block.text.get();
        for (FlatLine& line : taken(block)) {
            line.formatted = holds_whole(line);
            if (!line.formatted) continue;
            line.offset = static_cast<std::size_t>(out - block.text.get());
            out = std::copy(line.field.begin(), line.field.end(), out);
            TableFormatter formatter(style_, static_cast<std::int64_t>(line.samples));
            out = end_line(line, format_part(formatter, line, 0, line.samples, out));
            line.length = static_cast<std::size_t>(out - block.text.get()) - line.offset;
        }
    }

    // Writes the lines of the block's images in turn, runs of them in one write,
    // and tells `outcome` of each in turn; returns how many lines were written.
    std::uint64_t deliver(FlatBlock& block, OutputFile& out, const FlatOutcome& outcome) const {
        std::uint64_t written = 0;
        std::size_t from = 0, to = 0;  // formatted text not yet written
        auto flush = [&] {
            out.write({block.text.get() + from, to - from});
            from = to;
        };
        for (FlatLine& line : taken(block)) {
            if (line.refused) {
                outcome(&*line.refused);
                continue;
            }
            if (!line.formatted || line.offset != to) {
                flush();
                from = to = line.offset;
            }
            if (line.formatted) {
                to += line.length;
            } else {
                write_in_parts(line, block, out);
            }
            ++written;
            outcome(nullptr);
        }
        flush();
        return written;
    }

  private:
    static std::span<FlatLine> taken(FlatBlock& block) {
        return std::span(block.lines).first(block.count);
    }

    static std::size_t text_size(const FlatLine& line, std::uint64_t samples) {
        return TableFormatter::max_text_size(samples, line.type != SampleType::uint);
    }

    static bool holds_whole(const FlatLine& line) {
        return !line.refused && line.samples <= kPartSamples;
    }

    // Takes the next image into `line`; false when none is left.
    bool take(FlatLine& line) {
        FlatImage image;
        if (!next_(image)) return false;
        line.refused = std::move(image.refused);
        if (line.refused) return true;
        try {
            out_of_memory_as_error(image.in->name(), [&] { read(image, line); });
        } catch (const Error& error) {
            line.refused = error;
        }
        return true;
    }

    // A line too long to hold whole, formatted a part at a time as it is written.
    void write_in_parts(const FlatLine& line, FlatBlock& block, OutputFile& out) const {
        out.write({line.field.data(), line.field.size()});
        TableFormatter formatter(style_, static_cast<std::int64_t>(line.samples));
        for (std::uint64_t first = 0; first < line.samples; first += kPartSamples) {
            std::uint64_t count = std::min<std::uint64_t>(kPartSamples, line.samples - first);
            char* end = format_part(formatter, line, first, count, block.text.get());
            out.write({block.text.get(), static_cast<std::size_t>(end - block.text.get())});
        }
    }

    void read(FlatImage& image, FlatLine& line) {
        Input& in = *image.in;
        std::unique_ptr<Decoder> reader = open_decoder(in);
        const ImageInfo& info = reader->info();
        const Selection selection = select_channels(info, channel_, in.name());
        check_shape(info, selection.values_per_pixel(), in.name());
        line.field = labelled_ ? label_field(image.label, style_, in.name()) : "";
        line.samples = info.samples();
        line.wide = info.wide();
        line.type = info.sample_type;
        if (line.capacity < line.samples) {
            line.narrow.reset();
            line.broad.reset();
            line.reals.reset();
            line.capacity = 0;
        }
        // The samples the selection takes of each pixel, in place.
        if (info.real()) {
            if (!line.reals) allocate(line.reals, line);
            std::span samples(line.reals.get(), line.samples);
            line.samples =
                apply(selection, samples.first(reader->read(samples)), samples.data(), line.type);
        } else if (line.wide) {
            if (!line.broad) allocate(line.broad, line);
            std::span samples(line.broad.get(), line.samples);
            line.samples = apply(selection, samples.first(reader->read(samples)), samples.data());
        } else {
            if (!line.narrow) allocate(line.narrow, line);
            std::span samples(line.narrow.get(), line.samples);
            line.samples = apply(selection, samples.first(reader->read(samples)), samples.data());
        }
        in.close();
        if (!first_)
            first_ = Shape{info.width, info.height, selection.values_per_pixel(), in.name()};
    }

    template <typename Sample>
    static void allocate(std::unique_ptr<Sample[]>& samples, FlatLine& line) {
        if (line.samples > (std::uint64_t(1) << 40)) throw std::bad_alloc();
        samples = std::make_unique_for_overwrite<Sample[]>(line.samples + kMargin);
        line.capacity = line.samples;
    }

    // Whether the image's line would be as long as the first's, and as laid out.
    void check_shape(const ImageInfo& info, int values, const std::string& name) const {
        if (!first_ || (info.width == first_->width && info.height == first_->height &&
                        values == first_->channels))
            return;
        std::string problem = pixels(info.width, info.height);
        std::string first = pixels(first_->width, first_->height);
        if (values != first_->channels) {
            problem += " of " + std::to_string(values) + " samples";
            first += " of " + std::to_string(first_->channels);
        }
        throw Error(name, problem + ", not " + first + " as " + first_->name);
    }

    static void reserve_text(FlatBlock& block, std::size_t size) {
        if (block.text_capacity >= size) return;
        block.text = std::make_unique_for_overwrite<char[]>(size);
        block.text_capacity = size;
    }

    static char* format_part(TableFormatter& formatter, const FlatLine& line, std::uint64_t first,
                             std::uint64_t count, char* out) {
        if (line.type != SampleType::uint)
            return formatter.format(std::span<const double>(line.reals.get() + first, count),
                                    line.type, out);
        if (line.wide) return formatter.format(std::span(line.broad.get() + first, count), out);
        return formatter.format(std::span(line.narrow.get() + first, count), out);
    }

    // The line of an image without samples is its label alone.
    char* end_line(const FlatLine& line, char* end) const {
        if (line.samples != 0) return end;
        if (style_ != TableStyle::spaces && !line.field.empty()) --end;
        *end = '\n';
        return end + 1;
    }

    const NextFlatImage& next_;
    TableStyle style_;
    std::string_view channel_;
    bool labelled_;
    std::optional<Shape> first_;
};

}  // namespace

std::uint64_t write_flat_table(const NextFlatImage& next, const std::string& out_name,
                               TableStyle style, std::string_view channel, bool labelled,
                               unsigned threads, const FlatOutcome& outcome) {
    std::optional<OutputFile> out;
    open_output(out, out_name);
    FlatLines lines(next, style, channel, labelled);
    std::uint64_t written = 0;
    Relay<FlatBlock> relay(
        [&](FlatBlock& block) { return lines.take(block); },
        [&](FlatBlock& block) { lines.format(block); },
        [&](FlatBlock& block) { written += lines.deliver(block, *out, outcome); });
    relay.run_on(threads);
    if (written != 0) out->commit();
    return written;
}

}  // namespace lumtab
