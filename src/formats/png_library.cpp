#include "formats/png_library.h"

namespace lumtab {

PngLibrary::PngLibrary() {
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
    library.find(set_interlace_handling, "png_set_interlace_handling");
    library.find(read_update_info, "png_read_update_info");
    library.find(get_rowbytes, "png_get_rowbytes");
    library.find(get_channels, "png_get_channels");
    library.find(read_row, "png_read_row");
    library.find(read_end, "png_read_end");
    library.find(create_write_struct, "png_create_write_struct");
    library.find(destroy_write_struct, "png_destroy_write_struct");
    library.find(set_write_fn, "png_set_write_fn");
    library.find(set_user_limits, "png_set_user_limits");
    library.find(set_IHDR, "png_set_IHDR");
    library.find(set_text, "png_set_text");
    library.find(set_compression_level, "png_set_compression_level");
    library.find(set_compression_strategy, "png_set_compression_strategy");
    library.find(set_compression_buffer_size, "png_set_compression_buffer_size");
    library.find(set_filter, "png_set_filter");
    library.find(write_info, "png_write_info");
    library.find(write_row, "png_write_row");
    library.find(write_end, "png_write_end");
}

const PngLibrary& png_library() {
    static const PngLibrary loaded;
    return loaded;
}

}  // namespace lumtab
