// PNG images through libpng, a row at a time: grey, grey and alpha, RGB, RGBA and
// palette, 1 to 16 bits, samples as stored (no gamma, no scaling).
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "formats/decoder.h"
#include "formats/png_library.h"
#include "io/input.h"

namespace lumtab {

namespace {

const PngLibrary& library() {
    return png_library();
}

// What libpng calls back into, and where it jumps when it fails. Plain data, and
// the functions that set the jump hold no C++ object: a jump skips no destructor.
struct Session {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Input* in = nullptr;
    std::exception_ptr* failure = nullptr;  // what the input threw
    bool pixels = false;     // past the header: a warning means data missing or wrong
    png_uint_32 widest = 0;  // the widest image read, for libpng's rows in memory
    std::jmp_buf jump;
    char message[256] = "";
};

[[noreturn]] void fail(Session* session, const char* message) {
    std::snprintf(session->message, sizeof session->message, "%s", message);
    std::longjmp(session->jump, 1);
}

void on_error(png_structp png, png_const_charp message) {
    fail(static_cast<Session*>(library().get_error_ptr(png)), message);
}

// Warnings about ancillary chunks are of no concern; about the pixels, a refusal.
void on_warning(png_structp png, png_const_charp message) {
    auto* session = static_cast<Session*>(library().get_error_ptr(png));
    if (session->pixels) fail(session, message);
}

void on_read(png_structp png, png_bytep data, size_t length) {
    auto* session = static_cast<Session*>(library().get_io_ptr(png));
    std::size_t got = 0;
    bool thrown = false;
    try {
        got = session->in->read({data, length});
    } catch (...) {
        *session->failure = std::current_exception();
        thrown = true;
    }
    if (thrown) fail(session, "");
    if (got < length) fail(session, "file ends inside the image");
}

struct Header {
    png_uint_32 width, height;
    int bit_depth, color_type, interlace;
    int passes;
    int channels;  // as libpng gives them: a palette's colours, with alpha where tRNS has it
    std::size_t row_bytes;
};

bool start(Session* session, Header* header) {
    if (setjmp(session->jump) != 0) return false;
    const PngLibrary& png = library();
    session->png = png.create_read_struct(PNG_LIBPNG_VER_STRING, session, on_error, on_warning);
    if (session->png == nullptr) fail(session, "out of memory");
    session->info = png.create_info_struct(session->png);
    if (session->info == nullptr) fail(session, "out of memory");
    png.set_read_fn(session->png, session, on_read);
    // A chunk whose CRC is wrong holds wrong data, whatever the chunk.
    png.set_crc_action(session->png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    // As high as PNG allows, and as wide as a row of 8 bytes a pixel may be held:
    // libpng's own limit, 1,000,000, would refuse what lumtab writes.
    png.set_user_limits(session->png, session->widest, PNG_UINT_31_MAX);
    png.read_info(session->png, session->info);
    png.get_IHDR(session->png, session->info, &header->width, &header->height, &header->bit_depth,
                 &header->color_type, &header->interlace, nullptr, nullptr);
    // A palette's colours, 8 bits each; grey of fewer bits stays packed, a row's
    // bits in its bytes, as stored, as an interlaced image is held.
    if (header->color_type == PNG_COLOR_TYPE_PALETTE) png.set_palette_to_rgb(session->png);
    header->passes = png.set_interlace_handling(session->png);
    png.read_update_info(session->png, session->info);
    header->row_bytes = png.get_rowbytes(session->png, session->info);
    header->channels = png.get_channels(session->png, session->info);
    session->pixels = true;
    return true;
}

bool read_row(Session* session, png_bytep row) {
    if (setjmp(session->jump) != 0) return false;
    library().read_row(session->png, row, nullptr);
    return true;
}

bool finish(Session* session) {
    if (setjmp(session->jump) != 0) return false;
    library().read_end(session->png, nullptr);
    return true;
}

class PngDecoder : public Decoder {
  public:
    explicit PngDecoder(Input& in) : in_(in) {
        session_.in = &in;
        session_.failure = &failure_;
        session_.widest = static_cast<png_uint_32>(
            std::clamp<std::uint64_t>(most_held_whole(in) / 8, 1'000'000, PNG_UINT_31_MAX));
        Header header{};
        if (!start(&session_, &header)) fail();
        info_.format = Format::png;
        info_.width = static_cast<std::int32_t>(header.width);
        info_.height = static_cast<std::int32_t>(header.height);
        bool palette = header.color_type == PNG_COLOR_TYPE_PALETTE;
        info_.max_value = palette ? 255 : (1 << header.bit_depth) - 1;
        info_.channels = header.channels;
        const bool alpha = info_.channels == 2 || info_.channels == 4;
        info_.tuple_type =
            std::string(info_.channels >= 3 ? "RGB" : "GRAYSCALE") + (alpha ? "_ALPHA" : "");
        wide_ = !palette && header.bit_depth == 16;
        bits_ = !palette && header.bit_depth < 8 ? header.bit_depth : 0;
        row_bytes_ = header.row_bytes;
        // Room for a row, and where a pass has none of a row, for libpng to skip it.
        row_.assign(row_bytes_, 0);
        interlaced_ = header.passes > 1;
        if (interlaced_) {
            // Held whole: its rows, and a pointer to each.
            std::uint64_t whole = 0;
            if (__builtin_mul_overflow(std::uint64_t(row_bytes_) + sizeof(raster_[0]),
                                       std::uint64_t(info_.height), &whole))
                whole = ~std::uint64_t(0);
            if (const std::uint64_t most = most_held_whole(in); whole > most)
                refuse_held_whole(in, "PNG: an interlaced image", whole, most);
            read_interlaced(header.passes);
        }
    }

    const ImageInfo& info() const override { return info_; }
    std::size_t read(std::span<std::uint8_t> out) override { return read_samples(out); }
    std::size_t read(std::span<std::uint16_t> out) override { return read_samples(out); }

  private:
    [[noreturn]] void fail() {
        if (failure_) std::rethrow_exception(failure_);
        throw Error(in_.name(), std::string("PNG: ") + session_.message);
    }

    // An interlaced image comes in passes over the whole of it, so it is held
    // whole; a row is made when a pass first reaches it, so that what is held
    // follows what the file holds, not what its header claims.
    void read_interlaced(int passes) {
        for (int pass = 0; pass < passes; ++pass) {
            // Rows the pass has no pixels of are not written: libpng skips them.
            const bool columns = PNG_PASS_COLS(png_uint_32(info_.width), pass) != 0;
            for (std::int32_t y = 0; y < info_.height; ++y) {
                std::uint8_t* row = row_.data();
                if (columns && PNG_ROW_IN_INTERLACE_PASS(png_uint_32(y), pass)) {
                    if (raster_.size() <= std::size_t(y)) raster_.resize(std::size_t(y) + 1);
                    if (!raster_[std::size_t(y)])
                        raster_[std::size_t(y)] = std::make_unique<std::uint8_t[]>(row_bytes_);
                    row = raster_[std::size_t(y)].get();
                }
                if (!read_row(&session_, row)) fail();
            }
        }
    }

    // The next row's bytes, as libpng gives them.
    const std::uint8_t* next_row() {
        if (interlaced_) {
            const auto y = std::size_t(rows_);
            return y < raster_.size() && raster_[y] ? raster_[y].get() : row_.data();
        }
        if (!read_row(&session_, row_.data())) fail();
        return row_.data();
    }

    template <typename Sample>
    std::size_t read_samples(std::span<Sample> out) {
        const std::size_t row_samples = std::size_t(info_.width) * std::size_t(info_.channels);
        std::size_t count = 0;
        while (count < out.size() && rows_ < info_.height) {
            if (column_ == 0) row_start_ = next_row();
            std::size_t n = std::min(out.size() - count, row_samples - column_);
            for (std::size_t i = 0; i < n; ++i) {
                std::size_t at = column_ + i;
                out[count + i] = static_cast<Sample>(
                    wide_   ? row_start_[2 * at] << 8 | row_start_[2 * at + 1]
                    : bits_ ? row_start_[at * bits_ / 8] >> (8 - bits_ - at * bits_ % 8) &
                                  ((1 << bits_) - 1)
                            : row_start_[at]);
            }
            count += n;
            column_ += n;
            if (column_ == row_samples) {
                column_ = 0;
                if (++rows_ == info_.height && !finish(&session_)) fail();
            }
        }
        return count;
    }

    // Ends libpng's work, also where the constructor fails.
    struct Ending {
        Session& session;
        ~Ending() { library().destroy_read_struct(&session.png, &session.info, nullptr); }
    };

    Input& in_;
    Session session_;
    Ending ending_{session_};
    std::exception_ptr failure_;
    ImageInfo info_;
    bool wide_ = false;
    int bits_ = 0;  // of a packed grey sample, below 8
    std::size_t row_bytes_ = 0;
    std::vector<std::uint8_t> row_;
    bool interlaced_ = false;
    std::vector<std::unique_ptr<std::uint8_t[]>> raster_;  // an interlaced image's rows
    const std::uint8_t* row_start_ = nullptr;
    std::int32_t rows_ = 0;
    std::size_t column_ = 0;  // samples of the row read
};

}  // namespace

std::unique_ptr<Decoder> open_png(Input& in) {
    if (const std::string& error = library().library.error(); !error.empty())
        throw Error(in.name(), "PNG: " + error);
    return std::make_unique<PngDecoder>(in);
}

}  // namespace lumtab
