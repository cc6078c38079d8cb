// JPEG images through libjpeg, a row at a time: grey, or colour in RGB by the
// library's own conversion and its default, accurate integer DCT; 8 bits.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <exception>
#include <vector>

#include <jpeglib.h>

#include "formats/decoder.h"
#include "formats/shared_library.h"
#include "io/input.h"

namespace lumtab {

namespace {

// libjpeg's functions, looked up once.
struct JpegLibrary {
    SharedLibrary library{LUMTAB_JPEG_LIBRARY};
    decltype(&jpeg_std_error) std_error;
    decltype(&jpeg_CreateDecompress) create_decompress;
    decltype(&jpeg_destroy_decompress) destroy_decompress;
    decltype(&jpeg_read_header) read_header;
    decltype(&jpeg_start_decompress) start_decompress;
    decltype(&jpeg_read_scanlines) read_scanlines;
    decltype(&jpeg_finish_decompress) finish_decompress;
    decltype(&jpeg_resync_to_restart) resync_to_restart;

    JpegLibrary() {
        library.find(std_error, "jpeg_std_error");
        library.find(create_decompress, "jpeg_CreateDecompress");
        library.find(destroy_decompress, "jpeg_destroy_decompress");
        library.find(read_header, "jpeg_read_header");
        library.find(start_decompress, "jpeg_start_decompress");
        library.find(read_scanlines, "jpeg_read_scanlines");
        library.find(finish_decompress, "jpeg_finish_decompress");
        library.find(resync_to_restart, "jpeg_resync_to_restart");
    }
};

const JpegLibrary& library() {
    static const JpegLibrary loaded;
    return loaded;
}

// The most memory libjpeg may take: a progressive image holds all its
// coefficients, about 2 bytes a sample, which a file can only claim so far.
constexpr long kLeastMemory = 64L << 20;

// What libjpeg calls back into, and where it jumps when it fails. Plain data, and
// the functions that set the jump hold no C++ object: a jump skips no destructor.
struct Session {
    jpeg_decompress_struct jpeg{};
    jpeg_error_mgr errors{};
    jpeg_source_mgr source{};
    bool created = false;
    Input* in = nullptr;
    std::exception_ptr* failure = nullptr;  // what the input threw
    const JOCTET* taken = nullptr;          // the input's bytes lent to libjpeg
    std::size_t lent = 0;                   // and how many
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = "";
};

Session* session_of(j_common_ptr jpeg) {
    return reinterpret_cast<Session*>(jpeg->client_data);
}

[[noreturn]] void on_error(j_common_ptr jpeg) {
    Session* session = session_of(jpeg);
    jpeg->err->format_message(jpeg, session->message);
    std::longjmp(session->jump, 1);
}

// A warning means data missing or wrong (a truncated file, which libjpeg would pad
// with grey; corrupt data): a refusal. Trace messages are of no concern.
void on_message(j_common_ptr jpeg, int level) {
    if (level < 0) on_error(jpeg);
}

void init_source(j_decompress_ptr) {}

// Lends libjpeg the input's buffered bytes, which stay put until the next call.
// libjpeg calls it when it has used every byte lent, though it may not yet have
// said so in next_input_byte (it reads a marker through copies of the pointer):
// moves past all of them first.
boolean fill_input_buffer(j_decompress_ptr jpeg) {
    Session* session = session_of(reinterpret_cast<j_common_ptr>(jpeg));
    Input& in = *session->in;
    in.skip(session->lent);
    session->lent = 0;
    std::span<const std::uint8_t> bytes;
    bool thrown = false;
    try {
        bytes = in.look_ahead(Input::kBufferSize);
    } catch (...) {
        *session->failure = std::current_exception();
        thrown = true;
    }
    if (thrown) std::longjmp(session->jump, 1);
    if (bytes.empty()) {
        std::snprintf(session->message, sizeof session->message, "file ends inside the image");
        std::longjmp(session->jump, 1);
    }
    jpeg->src->next_input_byte = session->taken = bytes.data();
    jpeg->src->bytes_in_buffer = session->lent = bytes.size();
    return TRUE;
}

void skip_input_data(j_decompress_ptr jpeg, long count) {
    while (count > 0) {
        if (jpeg->src->bytes_in_buffer == 0) fill_input_buffer(jpeg);
        long n = std::min<long>(count, static_cast<long>(jpeg->src->bytes_in_buffer));
        jpeg->src->next_input_byte += n;
        jpeg->src->bytes_in_buffer -= static_cast<std::size_t>(n);
        count -= n;
    }
}

void term_source(j_decompress_ptr) {}

bool start(Session* session, long most_memory) {
    if (setjmp(session->jump) != 0) return false;
    const JpegLibrary& jpeg = library();
    session->jpeg.err = jpeg.std_error(&session->errors);
    session->errors.error_exit = on_error;
    session->errors.emit_message = on_message;
    jpeg.create_decompress(&session->jpeg, JPEG_LIB_VERSION, sizeof session->jpeg);
    session->created = true;
    session->jpeg.client_data = session;
    session->jpeg.mem->max_memory_to_use = most_memory;
    session->source.init_source = init_source;
    session->source.fill_input_buffer = fill_input_buffer;
    session->source.skip_input_data = skip_input_data;
    session->source.resync_to_restart = jpeg.resync_to_restart;
    session->source.term_source = term_source;
    session->jpeg.src = &session->source;
    jpeg.read_header(&session->jpeg, TRUE);
    return true;
}

bool start_decompress(Session* session) {
    if (setjmp(session->jump) != 0) return false;
    library().start_decompress(&session->jpeg);
    return true;
}

bool read_row(Session* session, JSAMPROW row) {
    if (setjmp(session->jump) != 0) return false;
    library().read_scanlines(&session->jpeg, &row, 1);
    return true;
}

bool finish(Session* session) {
    if (setjmp(session->jump) != 0) return false;
    library().finish_decompress(&session->jpeg);
    return true;
}

class JpegDecoder : public Decoder {
  public:
    explicit JpegDecoder(Input& in) : in_(in) {
        session_.in = &in;
        session_.failure = &failure_;
        std::int64_t left = in.bytes_left();
        long most = left >= 0 ? std::max<long>(kLeastMemory, 64 * std::min<long>(left, 1L << 40))
                              : kLeastMemory * 4;
        if (!start(&session_, most)) fail();
        jpeg_decompress_struct& jpeg = session_.jpeg;
        if (jpeg.data_precision != 8)
            throw Error(in.name(), "JPEG: " + std::to_string(jpeg.data_precision) +
                                       " bits a sample; lumtab reads 8");
        switch (jpeg.jpeg_color_space) {
            case JCS_GRAYSCALE:
                jpeg.out_color_space = JCS_GRAYSCALE;
                break;
            case JCS_YCbCr:
            case JCS_RGB:
                jpeg.out_color_space = JCS_RGB;
                break;
            default:
                throw Error(in.name(), "JPEG: CMYK and other colour spaces are not read");
        }
        if (!start_decompress(&session_)) fail();
        info_.format = Format::jpeg;
        info_.width = static_cast<std::int32_t>(jpeg.output_width);
        info_.height = static_cast<std::int32_t>(jpeg.output_height);
        info_.max_value = 255;
        info_.channels = jpeg.output_components;
        info_.tuple_type = info_.channels == 1 ? "GRAYSCALE" : "RGB";
        row_.resize(std::size_t(info_.width) * std::size_t(info_.channels));
    }

    const ImageInfo& info() const override { return info_; }
    std::size_t read(std::span<std::uint8_t> out) override { return read_samples(out); }
    std::size_t read(std::span<std::uint16_t> out) override { return read_samples(out); }

  private:
    [[noreturn]] void fail() {
        if (failure_) std::rethrow_exception(failure_);
        throw Error(in_.name(), std::string("JPEG: ") + session_.message);
    }

    template <typename Sample>
    std::size_t read_samples(std::span<Sample> out) {
        std::size_t count = 0;
        while (count < out.size() && rows_ < info_.height) {
            if (column_ == 0 && !read_row(&session_, row_.data())) fail();
            std::size_t n = std::min(out.size() - count, row_.size() - column_);
            std::copy_n(row_.begin() + static_cast<std::ptrdiff_t>(column_), n,
                        out.begin() + count);
            count += n;
            column_ += n;
            if (column_ == row_.size()) {
                column_ = 0;
                if (++rows_ == info_.height && !finish(&session_)) fail();
            }
        }
        return count;
    }

    // Ends libjpeg's work, also where the constructor fails, and moves the input
    // past what libjpeg used of it, so that it stays where the image ends.
    struct Ending {
        Input& in;
        Session& session;
        ~Ending() {
            if (session.taken != nullptr)
                in.skip(static_cast<std::size_t>(session.source.next_input_byte - session.taken));
            if (session.created) library().destroy_decompress(&session.jpeg);
        }
    };

    Input& in_;
    Session session_;
    Ending ending_{in_, session_};
    std::exception_ptr failure_;
    ImageInfo info_;
    std::vector<JSAMPLE> row_;
    std::int32_t rows_ = 0;
    std::size_t column_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> open_jpeg(Input& in) {
    if (const std::string& error = library().library.error(); !error.empty())
        throw Error(in.name(), "JPEG: " + error);
    return std::make_unique<JpegDecoder>(in);
}

}  // namespace lumtab
