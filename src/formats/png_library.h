// libpng's functions, looked up once when a PNG is first read or written.
#pragma once

#include <png.h>

#include "io/shared_library.h"

namespace lumtab {

struct PngLibrary {
    SharedLibrary library{LUMTAB_PNG_LIBRARY};
    // Reading.
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
    decltype(&png_set_interlace_handling) set_interlace_handling;
    decltype(&png_read_update_info) read_update_info;
    decltype(&png_get_rowbytes) get_rowbytes;
    decltype(&png_get_channels) get_channels;
    decltype(&png_read_row) read_row;
    decltype(&png_read_end) read_end;
    // Writing.
    decltype(&png_create_write_struct) create_write_struct;
    decltype(&png_destroy_write_struct) destroy_write_struct;
    decltype(&png_set_write_fn) set_write_fn;
    decltype(&png_set_user_limits) set_user_limits;
    decltype(&png_set_IHDR) set_IHDR;
    decltype(&png_set_text) set_text;
    decltype(&png_set_compression_level) set_compression_level;
    decltype(&png_set_compression_strategy) set_compression_strategy;
    decltype(&png_set_compression_buffer_size) set_compression_buffer_size;
    decltype(&png_set_filter) set_filter;
    decltype(&png_write_info) write_info;
    decltype(&png_write_row) write_row;
    decltype(&png_write_end) write_end;

    PngLibrary();
};

const PngLibrary& png_library();

}  // namespace lumtab
