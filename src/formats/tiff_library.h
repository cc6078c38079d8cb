// libtiff's functions, looked up once when a TIFF is first read or written.
#pragma once

#include <tiffio.h>

#include "io/shared_library.h"

namespace lumtab {

struct TiffLibrary {
    SharedLibrary library{LUMTAB_TIFF_LIBRARY};
    decltype(&TIFFOpenOptionsAlloc) options_alloc;
    decltype(&TIFFOpenOptionsFree) options_free;
    decltype(&TIFFOpenOptionsSetMaxSingleMemAlloc) set_max_single_alloc;
    decltype(&TIFFOpenOptionsSetErrorHandlerExtR) set_error_handler;
    decltype(&TIFFOpenOptionsSetWarningHandlerExtR) set_warning_handler;
    decltype(&TIFFClientOpenExt) client_open;
    decltype(&TIFFClose) close;
    decltype(&TIFFGetField) get_field;
    decltype(&TIFFGetFieldDefaulted) get_field_defaulted;
    decltype(&TIFFSetField) set_field;
    decltype(&TIFFIsTiled) is_tiled;
    decltype(&TIFFScanlineSize64) scanline_size;
    decltype(&TIFFReadScanline) read_scanline;
    decltype(&TIFFTileSize64) tile_size;
    decltype(&TIFFReadTile) read_tile;
    // Writing.
    decltype(&TIFFWriteEncodedStrip) write_encoded_strip;
    decltype(&TIFFWriteRawStrip) write_raw_strip;
    decltype(&TIFFFlush) flush;

    TiffLibrary();
};

const TiffLibrary& tiff_library();

}  // namespace lumtab
