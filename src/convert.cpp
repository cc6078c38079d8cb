#include "convert.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "error.h"
#include "input.h"
#include "output_file.h"
#include "pgm.h"

namespace {

// Shows how far a conversion has come on one line of standard error that redraws
// itself, once it has run for a second, when standard error is a terminal.
class Progress {
  public:
    Progress(bool wanted, const std::string& name, std::uint64_t total)
        : wanted_(wanted && total > 0 && ::isatty(STDERR_FILENO)),
          name_(printable(name)),
          total_(total),
          start_(Clock::now()),
          drawn_at_(start_) {}
    ~Progress() {
        if (drawn_) draw("\r\033[K");
    }

    void update(std::uint64_t done) {
        if (!wanted_) return;
        auto now = Clock::now();
        if (now - start_ < std::chrono::seconds(1) ||
            now - drawn_at_ < std::chrono::milliseconds(100))
            return;
        drawn_at_ = now;
        drawn_ = true;
        draw("\rlumtab: " + name_ + ": " + std::to_string(done * 100 / total_) + "%");
    }

  private:
    using Clock = std::chrono::steady_clock;

    static void draw(const std::string& text) {
        ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
        (void)ignored;
    }

    bool wanted_;
    std::string name_;
    std::uint64_t total_;
    Clock::time_point start_;
    Clock::time_point drawn_at_;
    bool drawn_ = false;
};

// The samples a block of table text holds at most.
constexpr std::size_t kBlockSamples = 256 * 1024;
constexpr std::size_t kBlockSize = TableFormatter::max_text_size(kBlockSamples);

// A block of the table: samples read in turn, and their text.
struct Block {
    std::unique_ptr<std::uint16_t[]> samples =
        std::make_unique_for_overwrite<std::uint16_t[]>(kBlockSamples);
    std::unique_ptr<char[]> text = std::make_unique_for_overwrite<char[]>(kBlockSize);
    std::unique_ptr<PlainText> plain;  // a plain image's samples, until parsed
    std::uint64_t first = 0;           // the image's index of the first sample, or row
    std::size_t count = 0;             // samples, or rows of an image 0 pixels wide
    std::size_t length = 0;            // bytes of text
};

// An image's table, a block at a time: the blocks must be read in turn, but each
// can be formatted on its own, on any thread.
class TableText {
  public:
    TableText(PgmReader& reader, TableStyle style)
        : reader_(reader), header_(reader.header()), style_(style) {}

    // Reads the next block's samples; false at the end of the image. Throws Error
    // for a fault in it, or, for a plain image, leaves that to format().
    bool read(Block& block) {
        block.first = next_;
        if (header_.plain && header_.width != 0) {
            if (!block.plain) block.plain = std::make_unique<PlainText>();
            block.count = reader_.take_text(*block.plain, kBlockSamples);
            next_ += block.count;
            return block.count != 0 || block.plain->fault;
        }
        if (header_.width == 0) {
            // Rows without samples: the table is their line feeds.
            block.count = std::min<std::uint64_t>(header_.height - next_, kBlockSize);
        } else if (header_.max_value > 255) {
            block.count = reader_.read(std::span(block.samples.get(), kBlockSamples));
        } else {
            auto* bytes = reinterpret_cast<std::uint8_t*>(block.samples.get());
            block.count = reader_.read(std::span(bytes, kBlockSamples));
        }
        next_ += block.count;
        return block.count != 0;
    }

    // Formats a block read: its row and column follow from its first sample. Throws
    // Error for a fault in a plain image's samples.
    void format(Block& block) const {
        if (block.plain) parse(block);
        if (header_.width == 0) {
            std::fill_n(block.text.get(), block.count, '\n');
            block.length = block.count;
            return;
        }
        TableFormatter formatter(style_, header_.width, block.first % header_.width);
        char* end;
        if (header_.max_value > 255) {
            end = formatter.format(std::span<const std::uint16_t>(block.samples.get(), block.count),
                                   block.text.get());
        } else {
            auto* bytes = reinterpret_cast<const std::uint8_t*>(block.samples.get());
            end = formatter.format(std::span(bytes, block.count), block.text.get());
        }
        block.length = static_cast<std::size_t>(end - block.text.get());
    }

    void parse(Block& block) const {
        if (header_.max_value > 255) {
            reader_.parse_text(*block.plain, std::span(block.samples.get(), kBlockSamples));
        } else {
            auto* bytes = reinterpret_cast<std::uint8_t*>(block.samples.get());
            reader_.parse_text(*block.plain, std::span(bytes, kBlockSamples));
        }
    }

    // At most the table's size in bytes.
    std::uint64_t size_bound() const { return 7 * header_.samples() + header_.height; }

  private:
    PgmReader& reader_;
    PgmHeader header_;
    TableStyle style_;
    std::uint64_t next_ = 0;
};

// Reads, formats and writes the table a block at a time on this thread alone.
void write_blocks(TableText& text, OutputFile& out, Progress& progress) {
    Block block;
    while (text.read(block)) {
        text.format(block);
        out.write({block.text.get(), block.length});
        progress.update(block.first + block.count);
    }
}

// Two threads, this one and a second, each read a block in turn, format it while
// the other writes, and write it in turn: formatting costs about what writing
// does, so neither waits long for the other. A fault found in a block is reported
// in the block's turn, so that the first in the image is the one reported. Returns
// false, having done nothing, if the second thread cannot be started.
bool write_blocks_in_parallel(TableText& text, OutputFile& out, Progress& progress) {
    constexpr std::uint64_t kStopped = ~std::uint64_t(0);
    std::mutex reading;                  // one thread reads at a time, the blocks in order
    std::uint64_t next_ticket = 0;       // the order of the next block read
    bool read_failed = false;            // no block is read after one that failed
    std::atomic<std::uint64_t> turn{0};  // the block to be written next, or kStopped
    std::exception_ptr failure;          // the first, which stops both threads
    std::mutex failing;

    auto stop = [&](std::exception_ptr why) {
        std::lock_guard lock(failing);
        if (!failure) failure = why;
        turn = kStopped;
        turn.notify_all();
    };
    auto work = [&] {
        Block block;
        try {
            for (;;) {
                std::uint64_t ticket;
                bool more = false;
                std::exception_ptr fault;
                {
                    std::lock_guard lock(reading);
                    if (turn == kStopped) return;
                    ticket = next_ticket++;
                    try {
                        more = !read_failed && text.read(block);
                    } catch (...) {
                        fault = std::current_exception();
                        read_failed = true;
                    }
                }
                if (more) {
                    try {
                        text.format(block);
                    } catch (...) {
                        fault = std::current_exception();
                    }
                }
                for (std::uint64_t now = turn; now != ticket; now = turn) {
                    if (now == kStopped) return;
                    turn.wait(now);
                }
                if (fault) {
                    stop(fault);
                    return;
                }
                if (!more) {
                    turn = ticket + 1;  // the end: the other thread's next turn says so
                    turn.notify_all();
                    return;
                }
                out.write({block.text.get(), block.length});
                // In turn, as the writes: the two threads never draw at once.
                progress.update(block.first + block.count);
                turn = ticket + 1;
                turn.notify_all();
            }
        } catch (...) {
            stop(std::current_exception());
        }
    };

    std::thread second;
    try {
        second = std::thread(work);
    } catch (const std::system_error&) {
        return false;
    }
    work();
    second.join();
    if (failure) std::rethrow_exception(failure);
    return true;
}

// Opens the destination: standard output or an all-or-nothing file.
void open_output(std::optional<OutputFile>& out, const std::string& name) {
    if (name == "-") {
        out.emplace(OutputFile::StandardOutput{});
    } else {
        out.emplace(name);
    }
}

// The samples of an image held until its height is known, in blocks of 1 MiB, as
// one byte a sample or two, most significant first: as the raster is written.
class HeldRaster {
  public:
    explicit HeldRaster(bool wide) : wide_(wide) {}

    bool wide() const { return wide_; }

    void append(std::span<const std::uint16_t> samples) {
        // All of them or'd together, which the compiler does a vector at a time.
        std::uint16_t any = 0;
        for (std::uint16_t sample : samples)
            any |= sample;
        if (any > 255 && !wide_) widen();
        const std::size_t size = wide_ ? 2 : 1;
        while (!samples.empty()) {
            if (blocks_.empty() || blocks_.back().used == kBlockBytes)
                blocks_.push_back({std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBytes), 0});
            Block& block = blocks_.back();
            std::size_t n = std::min(samples.size(), (kBlockBytes - block.used) / size);
            std::uint8_t* at = block.bytes.get() + block.used;
            if (wide_) {
                for (std::size_t i = 0; i < n; ++i) {
                    at[2 * i] = static_cast<std::uint8_t>(samples[i] >> 8);
                    at[2 * i + 1] = static_cast<std::uint8_t>(samples[i]);
                }
            } else {
                for (std::size_t i = 0; i < n; ++i)
                    at[i] = static_cast<std::uint8_t>(samples[i]);
            }
            block.used += n * size;
            samples = samples.subspan(n);
        }
    }

    // Takes the samples of `later` after these.
    void append(HeldRaster& later) {
        if (later.wide_ && !wide_) widen();
        if (wide_ && !later.wide_) later.widen();
        for (Block& block : later.blocks_)
            blocks_.push_back(std::move(block));
        later.blocks_.clear();
    }

    void write(OutputFile& out) const {
        for (const Block& block : blocks_)
            out.write({reinterpret_cast<const char*>(block.bytes.get()), block.used});
    }

  private:
    static constexpr std::size_t kBlockBytes = 1 << 20;

    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t used;
    };

    // From one byte a sample to two, a block at a time, so that the narrow and the
    // wide copies are never held whole at once.
    void widen() {
        std::vector<Block> narrow;
        narrow.swap(blocks_);
        wide_ = true;
        std::vector<std::uint16_t> samples;
        for (Block& block : narrow) {
            samples.assign(block.bytes.get(), block.bytes.get() + block.used);
            block.bytes.reset();
            append(samples);
        }
    }

    bool wide_;
    std::vector<Block> blocks_;
};

// The rows of a table, checked one against another and held until the table ends.
class TableRows {
  public:
    TableRows(std::string name, std::int32_t max_value)
        : name_(std::move(name)), max_value_(max_value), raster_(max_value > 255) {}

    // Reads the rest of the table from `in`, a long line a piece at a time, so that
    // the values are held only in the raster.
    void read(Input& in, Progress& progress) {
        TableReader reader(in, max_value_ == 0 ? 65535 : max_value_, lines_);
        std::vector<std::uint16_t> piece;
        std::size_t count = 0;  // values in the line so far
        while (reader.read_row(piece, kPiece)) {
            // The line being read: a line that ended has been counted.
            std::uint64_t line = reader.lines() + (reader.row_goes_on() ? 1 : 0);
            if (count == 0 && !piece.empty()) start_row(line);
            count += piece.size();
            if (count > std::size_t(INT32_MAX))
                throw Error(name_, "line " + std::to_string(line) +
                                       " has more values than an image may be wide");
            // A line wider than the first is read to its end, to say how wide, but
            // not held.
            if (!width_ || count <= *width_) raster_.append(piece);
            if (reader.row_goes_on()) continue;
            end_row(count, reader.lines());
            count = 0;
            progress.update(in.offset());
        }
    }

    // Takes the rows of `later`, read from the lines that follow these.
    void append(TableRows& later) {
        raster_.append(later.raster_);
        height_ += later.height_;
        empty_lines_ = later.empty_lines_;
        lines_ += later.lines_;
    }

    // Whether `later`, read on its own, can follow these rows as it is: rows as
    // wide, and no empty lines between.
    bool can_append(const TableRows& later) const {
        return later.height_ == 0 || (width_ == later.width_ && empty_lines_ == 0);
    }

    std::uint64_t lines() const { return lines_; }

    PgmHeader header() const {
        return {false, static_cast<std::int32_t>(width_.value_or(0)),
                static_cast<std::int32_t>(height_),
                max_value_ != 0  ? max_value_
                : raster_.wide() ? 65535
                                 : 255};
    }

    void write(OutputFile& out) const { raster_.write(out); }

  private:
    static constexpr std::size_t kPiece = 64 * 1024;

    // Before the first values of line `line`: rows after empty lines are refused.
    void start_row(std::uint64_t line) {
        if (empty_lines_ != 0) refuse_row(line - empty_lines_, 0);
    }

    // After the `count` values of line `line`.
    void end_row(std::size_t count, std::uint64_t line) {
        lines_ = line;
        if (!width_) width_ = count;
        // Empty lines after the last row are what an editor leaves, not rows.
        if (count == 0 && *width_ != 0) {
            ++empty_lines_;
            return;
        }
        if (count != *width_ || empty_lines_ != 0) refuse_row(line - empty_lines_, count);
        if (++height_ > std::uint64_t(INT32_MAX))
            throw Error(name_, "more lines than an image may be high");
    }

    [[noreturn]] void refuse_row(std::uint64_t line, std::size_t count) const {
        throw Error(name_, "line " + std::to_string(line) + " has " + std::to_string(count) +
                               (count == 1 ? " value" : " values") + ", line 1 has " +
                               std::to_string(*width_));
    }

    std::string name_;
    std::int32_t max_value_;
    HeldRaster raster_;
    std::optional<std::size_t> width_;
    std::uint64_t height_ = 0;
    std::uint64_t empty_lines_ = 0;  // at the end so far
    std::uint64_t lines_ = 0;
};

// Reading a table's values is most of the reverse conversion's time, so a large
// regular file is read in two halves at once, split at a line end near its middle.
// The second half is read without knowing the first: where it turns out not to
// follow it (it failed, or its rows differ), it is read again after the first,
// which then names the fault. Returns false, having read nothing, if the table is
// not worth two threads or the second cannot be started.
bool read_in_two_halves(Input& in, std::int32_t max_value, TableRows& rows, Progress& progress) {
    constexpr std::int64_t kWorthIt = 8 << 20;
    std::int64_t start = in.file_position();
    std::int64_t left = in.bytes_left();
    // Standard input is left where the table ends, which reading in parts would not do.
    if (!in.owns_file() || start < 0 || left < kWorthIt) return false;
    const std::uint64_t end = static_cast<std::uint64_t>(start + left);
    std::optional<std::uint64_t> split;
    std::uint8_t block[4096];
    for (std::uint64_t at = static_cast<std::uint64_t>(start + left / 2); !split && at < end;) {
        std::size_t got = in.read_at(at, block, sizeof block);
        if (got == 0) break;
        if (const void* feed = std::memchr(block, '\n', got))
            split =
                at + static_cast<std::size_t>(static_cast<const std::uint8_t*>(feed) - block) + 1;
        at += got;
    }
    if (!split || *split >= end) return false;

    Input first_half(in, static_cast<std::uint64_t>(start), *split);
    Input second_half(in, *split, end);
    TableRows second(in.name(), max_value);
    bool second_read = false;
    std::thread reader;
    try {
        reader = std::thread([&] {
            Progress none(false, "", 0);
            try {
                second.read(second_half, none);
                second_read = true;
            } catch (...) {
                // Read again after the first half, which then says what is wrong.
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    try {
        rows.read(first_half, progress);
    } catch (...) {
        reader.join();
        throw;
    }
    reader.join();
    if (second_read && rows.can_append(second)) {
        rows.append(second);
    } else {
        Input again(in, *split, end);
        rows.read(again, progress);
    }
    return true;
}

}  // namespace

void image_to_table(Input& in, const Destination& destination, TableStyle style) {
    PgmReader reader(in);
    std::optional<OutputFile> out;
    open_output(out, destination.name);
    TableText text(reader, style);
    Progress progress(destination.progress, in.name(), reader.header().samples());
    // A small table is not worth a thread.
    if (text.size_bound() <= 2 * kBlockSize || !write_blocks_in_parallel(text, *out, progress))
        write_blocks(text, *out, progress);
    in.close();
    out->commit();
}

void table_to_image(Input& in, const Destination& destination, std::int32_t max_value) {
    TableRows rows(in.name(), max_value);
    Progress progress(destination.progress, in.name(), std::max<std::int64_t>(in.bytes_left(), 0));
    if (!read_in_two_halves(in, max_value, rows, progress)) rows.read(in, progress);
    in.close();

    PgmHeader header = rows.header();
    std::optional<OutputFile> out;
    open_output(out, destination.name);
    out->write(pgm_header(out->name(), header, " from " + in.name()));
    rows.write(*out);
    out->commit();
}
