#include "formats/tiff_library.h"

namespace lumtab {

TiffLibrary::TiffLibrary() {
    library.find(options_alloc, "TIFFOpenOptionsAlloc");
    library.find(options_free, "TIFFOpenOptionsFree");
    library.find(set_max_single_alloc, "TIFFOpenOptionsSetMaxSingleMemAlloc");
    library.find(set_error_handler, "TIFFOpenOptionsSetErrorHandlerExtR");
    library.find(set_warning_handler, "TIFFOpenOptionsSetWarningHandlerExtR");
    library.find(client_open, "TIFFClientOpenExt");
    library.find(close, "TIFFClose");
    library.find(get_field, "TIFFGetField");
    library.find(get_field_defaulted, "TIFFGetFieldDefaulted");
    library.find(set_field, "TIFFSetField");
    library.find(is_tiled, "TIFFIsTiled");
    library.find(scanline_size, "TIFFScanlineSize64");
    library.find(read_scanline, "TIFFReadScanline");
    library.find(tile_size, "TIFFTileSize64");
    library.find(read_tile, "TIFFReadTile");
    library.find(write_encoded_strip, "TIFFWriteEncodedStrip");
    library.find(write_raw_strip, "TIFFWriteRawStrip");
    library.find(flush, "TIFFFlush");
}

const TiffLibrary& tiff_library() {
    static const TiffLibrary loaded;
    return loaded;
}

}  // namespace lumtab
