// Flat tables: the images read whole in turn, their lines formatted on any thread
// and written in turn.
#include "table/flat.h"

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <new>
#include <stdexcept>

#include "formats/pgm_reader.h"
#include "io/input.h"
#include "io/output_file.h"
#include "table/relay.h"
#include "table/table_format.h"

namespace lumtab {

namespace {

// The samples of a line formatted at once; a longer line is formatted a part at a
// time as it is written, so that its text never takes more than this much room.
constexpr std::size_t kPartSamples = 256 * 1024;
// Room past the samples for the plain parser's wide stores.
constexpr std::size_t kMargin = 64;

// An image on its way to its line.
struct FlatBlock {
    std::optional<Error> refused;
    std::string field;  // the label as written, with the separator after it
    std::uint64_t samples = 0;
    bool wide = false;
    std::unique_ptr<std::uint8_t[]> narrow;
    std::unique_ptr<std::uint16_t[]> broad;
    std::uint64_t capacity = 0;  // samples that either holds
    std::unique_ptr<char[]> text;
    std::size_t text_capacity = 0;
    std::size_t length = 0;  // the line's bytes, where formatted whole
    bool formatted = false;
};

// The width, height and channels of the lines, as the first image written has them.
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
    FlatLines(const NextFlatImage& next, TableStyle style, bool labelled)
        : next_(next), style_(style), labelled_(labelled) {}

    // Takes the next image and reads it whole; false when none is left. A refused
    // image is taken with the reason.
    bool take(FlatBlock& block) {
        FlatImage image;
        if (!next_(image)) return false;
        block.refused = std::move(image.refused);
        block.formatted = false;
        if (block.refused) return true;
        try {
            read(image, block);
        } catch (const Error& error) {
            block.refused = error;
        } catch (const std::bad_alloc&) {
            block.refused = Error(image.in->name(), "out of memory");
        }
        return true;
    }

    // Formats the line of an image read, where it is short enough to hold whole.
    void format(FlatBlock& block) const {
        if (block.refused || block.samples > kPartSamples) return;
        reserve_text(block, block.field.size() + TableFormatter::max_text_size(block.samples));
        block.field.copy(block.text.get(), block.field.size());
        char* start = block.text.get() + block.field.size();
        TableFormatter formatter(style_, static_cast<std::int64_t>(block.samples));
        char* end = format_part(formatter, block, 0, block.samples, start);
        block.length = static_cast<std::size_t>(end_line(block, end) - block.text.get());
        block.formatted = true;
    }

    // Writes the line of an image read; returns whether there was one.
    bool deliver(FlatBlock& block, OutputFile& out) const {
        if (block.refused) return false;
        if (block.formatted) {
            out.write({block.text.get(), block.length});
            return true;
        }
        reserve_text(block, TableFormatter::max_text_size(kPartSamples));
        out.write({block.field.data(), block.field.size()});
        TableFormatter formatter(style_, static_cast<std::int64_t>(block.samples));
        for (std::uint64_t first = 0; first < block.samples; first += kPartSamples) {
            std::uint64_t count = std::min<std::uint64_t>(kPartSamples, block.samples - first);
            char* end = format_part(formatter, block, first, count, block.text.get());
            out.write({block.text.get(), static_cast<std::size_t>(end - block.text.get())});
        }
        return true;
    }

  private:
    void read(FlatImage& image, FlatBlock& block) {
        Input& in = *image.in;
        PgmReader reader(in);
        const ImageInfo& info = reader.info();
        check_shape(info, in.name());
        block.field = labelled_ ? label_field(image.label, style_, in.name()) : "";
        block.samples = info.samples();
        block.wide = info.wide();
        if (block.capacity < block.samples) {
            block.narrow.reset();
            block.broad.reset();
            block.capacity = 0;
        }
        if (block.wide) {
            if (!block.broad) allocate(block.broad, block);
            reader.read(std::span(block.broad.get(), block.samples));
        } else {
            if (!block.narrow) allocate(block.narrow, block);
            reader.read(std::span(block.narrow.get(), block.samples));
        }
        in.close();
        if (!first_) first_ = Shape{info.width, info.height, info.channels, in.name()};
    }

    template <typename Sample>
    static void allocate(std::unique_ptr<Sample[]>& samples, FlatBlock& block) {
        if (block.samples > (std::uint64_t(1) << 40)) throw std::bad_alloc();
        samples = std::make_unique_for_overwrite<Sample[]>(block.samples + kMargin);
        block.capacity = block.samples;
    }

    void check_shape(const ImageInfo& info, const std::string& name) const {
        if (!first_ || (info.width == first_->width && info.height == first_->height &&
                        info.channels == first_->channels))
            return;
        std::string problem = pixels(info.width, info.height);
        std::string first = pixels(first_->width, first_->height);
        if (info.channels != first_->channels) {
            problem += " of " + std::to_string(info.channels) + " samples";
            first += " of " + std::to_string(first_->channels);
        }
        throw Error(name, problem + ", not " + first + " as " + first_->name);
    }

    static void reserve_text(FlatBlock& block, std::size_t size) {
        if (block.text_capacity >= size) return;
        block.text = std::make_unique_for_overwrite<char[]>(size);
        block.text_capacity = size;
    }

    static char* format_part(TableFormatter& formatter, const FlatBlock& block, std::uint64_t first,
                             std::uint64_t count, char* out) {
        if (block.wide) return formatter.format(std::span(block.broad.get() + first, count), out);
        return formatter.format(std::span(block.narrow.get() + first, count), out);
    }

    // The line of an image without samples is its label alone.
    char* end_line(const FlatBlock& block, char* end) const {
        if (block.samples != 0) return end;
        if (style_ != TableStyle::spaces && !block.field.empty()) --end;
        *end = '\n';
        return end + 1;
    }

    const NextFlatImage& next_;
    TableStyle style_;
    bool labelled_;
    std::optional<Shape> first_;
};

}  // namespace

std::uint64_t write_flat_table(const NextFlatImage& next, const std::string& out_name,
                               TableStyle style, bool labelled, unsigned threads,
                               const FlatOutcome& outcome) {
    std::optional<OutputFile> out;
    if (out_name == "-") {
        out.emplace(OutputFile::StandardOutput{});
    } else {
        out.emplace(out_name);
    }
    FlatLines lines(next, style, labelled);
    std::uint64_t written = 0;
    Relay<FlatBlock> relay([&](FlatBlock& block) { return lines.take(block); },
                           [&](FlatBlock& block) { lines.format(block); },
                           [&](FlatBlock& block) {
                               if (lines.deliver(block, *out)) ++written;
                               outcome(block.refused ? &*block.refused : nullptr);
                           });
    relay.run_on(threads);
    if (written != 0) out->commit();
    return written;
}

std::string directory_label(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    while (directory.size() > 1 && directory.ends_with('/'))
        directory.pop_back();
    if (directory.empty() || directory == "/") return "/";
    std::string last = directory.substr(directory.rfind('/') + 1);
    if (last != "." && last != "..") return last;
    char resolved[PATH_MAX];
    if (::realpath(directory.c_str(), resolved) == nullptr) throw Error::from_errno(path, errno);
    std::string real(resolved);
    return real == "/" ? real : real.substr(real.rfind('/') + 1);
}

std::string name_label(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace lumtab
