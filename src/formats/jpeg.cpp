// JPEG images through libjpeg, a row at a time: grey, or colour in RGB by the
// library's own conversion and its default, accurate integer DCT; 8 bits.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <exception>
#include <vector>

#include <jpeglib.h>
// Needs jpeglib.h first.
#include <jerror.h>

#include "formats/decoder.h"
#include "io/input.h"
#include "io/shared_library.h"

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
    decltype(&jpeg_has_multiple_scans) has_multiple_scans;

    JpegLibrary() {
        library.find(std_error, "jpeg_std_error");
        library.find(create_decompress, "jpeg_CreateDecompress");
        library.find(destroy_decompress, "jpeg_destroy_decompress");
        library.find(read_header, "jpeg_read_header");
        library.find(start_decompress, "jpeg_start_decompress");
        library.find(read_scanlines, "jpeg_read_scanlines");
        library.find(finish_decompress, "jpeg_finish_decompress");
        library.find(resync_to_restart, "jpeg_resync_to_restart");
        library.find(has_multiple_scans, "jpeg_has_multiple_scans");
    }
};

const JpegLibrary& library() {
    static const JpegLibrary loaded;
    return loaded;
}

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
// with grey; corrupt data): a refusal; but for those about what the pixels do not
// depend on. Trace messages are of no concern.
void on_message(j_common_ptr jpeg, int level) {
    if (level >= 0) return;
    const int code = jpeg->err->msg_code;
    if (code == JWRN_JFIF_MAJOR || code == JWRN_BOGUS_ICC) return;
    on_error(jpeg);
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
    session->taken = nullptr;
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

bool start(Session* session) {
    if (setjmp(session->jump) != 0) return false;
    const JpegLibrary& jpeg = library();
    session->jpeg.err = jpeg.std_error(&session->errors);
    session->errors.error_exit = on_error;
    session->errors.emit_message = on_message;
    jpeg.create_decompress(&session->jpeg, JPEG_LIB_VERSION, sizeof session->jpeg);
    session->created = true;
    session->jpeg.client_data = session;
    session->source.init_source = init_source;
    session->source.fill_input_buffer = fill_input_buffer;
    session->source.skip_input_data = skip_input_data;
    session->source.resync_to_restart = jpeg.resync_to_restart;
    session->source.term_source = term_source;
    session->jpeg.src = &session->source;
    jpeg.read_header(&session->jpeg, TRUE);
    return true;
}

// The bytes an image in several scans is held in, or 0 for one scan.
bool bytes_held_whole(Session* session, std::uint64_t* bytes) {
    if (setjmp(session->jump) != 0) return false;
    *bytes = 0;
    const jpeg_decompress_struct& jpeg = session->jpeg;
    if (library().has_multiple_scans(&session->jpeg) == 0) return true;
    for (int i = 0; i < jpeg.num_components; ++i) {
        const jpeg_component_info& component = jpeg.comp_info[i];
        auto round_up = [](std::uint64_t n, std::uint64_t step) {
            return (n + step - 1) / step * step;
        };
        *bytes += round_up(component.width_in_blocks, std::uint64_t(component.h_samp_factor)) *
                  round_up(component.height_in_blocks, std::uint64_t(component.v_samp_factor)) *
                  sizeof(JBLOCK);
    }
    return true;
}

bool start_decompress(Session* session, std::uint64_t most_memory) {
    if (setjmp(session->jump) != 0) return false;
    // Beyond what the coefficients take, libjpeg's own bookkeeping.
    session->jpeg.mem->max_memory_to_use = static_cast<long>(most_memory + (16 << 20));
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
        if (!start(&session_)) fail();
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
        // An image in several scans (a progressive one, most often) is held whole,
        // as its coefficients: 128 bytes a block of 8 x 8 samples.
        const std::uint64_t most = most_held_whole(in);
        std::uint64_t whole = 0;
        if (!bytes_held_whole(&session_, &whole)) fail();
        if (whole > most) refuse_held_whole(in, "JPEG: an image in several scans", whole, most);
        if (!start_decompress(&session_, most)) fail();
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
                if (++rows_ == info_.height) {
                    if (!finish(&session_)) fail();
                    give_back(in_, session_);
                }
            }
        }
        return count;
    }

    // Moves the input past what libjpeg used of the bytes lent it, and lends none.
    static void give_back(Input& in, Session& session) {
        if (session.taken != nullptr)
            in.skip(static_cast<std::size_t>(session.source.next_input_byte - session.taken));
        session.taken = nullptr;
        session.lent = 0;
        session.source.bytes_in_buffer = 0;
    }

    // Ends libjpeg's work, also where the constructor fails; the input stays where
    // the image ends, or where libjpeg stopped.
    struct Ending {
        Input& in;
        Session& session;
        ~Ending() {
            give_back(in, session);
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
