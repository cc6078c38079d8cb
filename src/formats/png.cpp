// PNG images through libpng, a row at a time: grey, grey and alpha, RGB, RGBA and
// palette, 1 to 16 bits, samples as stored (no gamma, no scaling).
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <vector>

#include "formats/decoder.h"
#include "formats/shared_library.h"
#include "io/input.h"

namespace lumtab {

namespace {

// libpng's functions, looked up once.
struct PngLibrary {
    SharedLibrary library{LUMTAB_PNG_LIBRARY};
    decltype(&png_create_read_struct) create_read_struct;
    decltype(&png_create_info_struct) create_info_struct;
    decltype(&png_destroy_read_struct) destroy_read_struct;
    decltype(&png_get_error_ptr) get_error_ptr;
    decltype(&png_get_io_ptr) get_io_ptr;
    decltype(&png_set_read_fn) set_read_fn;
    decltype(&png_set_crc_action) set_crc_action;
    decltype(&png_read_info) read_info;
    decltype(&png_get_IHDR) get_IHDR;
    decltype(&png_set_palette_to_rgb) set_palette_to_rgb;
    decltype(&png_set_packing) set_packing;
    decltype(&png_set_interlace_handling) set_interlace_handling;
    decltype(&png_read_update_info) read_update_info;
    decltype(&png_get_rowbytes) get_rowbytes;
    decltype(&png_read_row) read_row;
    decltype(&png_read_end) read_end;

    PngLibrary() {
        library.find(create_read_struct, "png_create_read_struct");
        library.find(create_info_struct, "png_create_info_struct");
        library.find(destroy_read_struct, "png_destroy_read_struct");
        library.find(get_error_ptr, "png_get_error_ptr");
        library.find(get_io_ptr, "png_get_io_ptr");
        library.find(set_read_fn, "png_set_read_fn");
        library.find(set_crc_action, "png_set_crc_action");
        library.find(read_info, "png_read_info");
        library.find(get_IHDR, "png_get_IHDR");
        library.find(set_palette_to_rgb, "png_set_palette_to_rgb");
        library.find(set_packing, "png_set_packing");
        library.find(set_interlace_handling, "png_set_interlace_handling");
        library.find(read_update_info, "png_read_update_info");
        library.find(get_rowbytes, "png_get_rowbytes");
        library.find(read_row, "png_read_row");
        library.find(read_end, "png_read_end");
    }
};

const PngLibrary& library() {
    static const PngLibrary loaded;
    return loaded;
}

// What libpng calls back into, and where it jumps when it fails. Plain data, and
// the functions that set the jump hold no C++ object: a jump skips no destructor.
struct Session {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Input* in = nullptr;
    std::exception_ptr* failure = nullptr;  // what the input threw
    bool pixels = false;  // past the header: a warning means data missing or wrong
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
    png.read_info(session->png, session->info);
    png.get_IHDR(session->png, session->info, &header->width, &header->height, &header->bit_depth,
                 &header->color_type, &header->interlace, nullptr, nullptr);
    if (header->color_type == PNG_COLOR_TYPE_PALETTE) png.set_palette_to_rgb(session->png);
    // One byte a sample below 8 bits, its value as stored.
    if (header->bit_depth < 8) png.set_packing(session->png);
    header->passes = png.set_interlace_handling(session->png);
    png.read_update_info(session->png, session->info);
    header->row_bytes = png.get_rowbytes(session->png, session->info);
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
        Header header{};
        if (!start(&session_, &header)) fail();
        info_.format = Format::png;
        info_.width = static_cast<std::int32_t>(header.width);
        info_.height = static_cast<std::int32_t>(header.height);
        bool palette = header.color_type == PNG_COLOR_TYPE_PALETTE;
        info_.max_value = palette ? 255 : (1 << header.bit_depth) - 1;
        const bool alpha = (header.color_type & PNG_COLOR_MASK_ALPHA) != 0;
        const bool colour = (header.color_type & PNG_COLOR_MASK_COLOR) != 0;
        info_.channels = (colour ? 3 : 1) + (alpha ? 1 : 0);
        info_.tuple_type = std::string(colour ? "RGB" : "GRAYSCALE") + (alpha ? "_ALPHA" : "");
        wide_ = !palette && header.bit_depth == 16;
        row_bytes_ = header.row_bytes;
        if (header.passes > 1) read_interlaced(header.passes);
    }

    const ImageInfo& info() const override { return info_; }
    std::size_t read(std::span<std::uint8_t> out) override { return read_samples(out); }
    std::size_t read(std::span<std::uint16_t> out) override { return read_samples(out); }

  private:
    [[noreturn]] void fail() {
        if (failure_) std::rethrow_exception(failure_);
        throw Error(in_.name(), std::string("PNG: ") + session_.message);
    }

    // An interlaced image comes in passes over the whole of it: held whole, within
    // what its file could hold (deflate shrinks data at most about 1032 times).
    void read_interlaced(int passes) {
        const std::uint64_t bytes = std::uint64_t(row_bytes_) * std::uint64_t(info_.height);
        std::int64_t left = in_.bytes_left();
        std::uint64_t most = left >= 0 ? 1032 * std::uint64_t(left) + (1 << 20) : 1ull << 30;
        if (bytes > most)
            throw Error(in_.name(), "PNG: an interlaced image of " + std::to_string(bytes) +
                                        " bytes, more than its file can hold");
        raster_.resize(static_cast<std::size_t>(bytes));
        for (int pass = 0; pass < passes; ++pass)
            for (std::int32_t y = 0; y < info_.height; ++y)
                if (!read_row(&session_, raster_.data() + std::size_t(y) * row_bytes_)) fail();
    }

    // The next row's bytes, as libpng gives them.
    const std::uint8_t* next_row() {
        if (!raster_.empty()) return raster_.data() + std::size_t(rows_) * row_bytes_;
        row_.resize(row_bytes_);
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
                    wide_ ? row_start_[2 * at] << 8 | row_start_[2 * at + 1] : row_start_[at]);
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
    std::size_t row_bytes_ = 0;
    std::vector<std::uint8_t> row_;
    std::vector<std::uint8_t> raster_;  // an interlaced image, whole
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
