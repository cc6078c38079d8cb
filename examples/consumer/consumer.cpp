// Reads an image, writes a copy and its table, and checks that both read back as
// the same image.
#include <lumtab/lumtab.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) try {
    if (argc != 2) throw lumtab::Error("consumer", "usage: consumer IMAGE");
    const lumtab::Image image = lumtab::read_image(argv[1]);
    // PGM, PPM, PAM or PFM, as the image's channels and samples need; TIFF for
    // the samples that no Netpbm format holds.
    const lumtab::ImageInfo& info = image.info();
    const bool netpbm = !info.real() || (info.sample_type == lumtab::SampleType::float32 &&
                                         (info.channels == 1 || info.channels == 3));
    const lumtab::FileType type = netpbm ? lumtab::FileType::netpbm : lumtab::FileType::tiff;
    const std::string copy = "copy." + std::string(lumtab::image_suffix(info, type));
    lumtab::write_image(copy, image, {.comment = "a copy", .type = type});
    lumtab::write_table("copy.csv", image, lumtab::TableStyle::csv);
    const bool same =
        lumtab::read_image(copy) == image && lumtab::read_table("copy.csv", info) == image;
    std::cout << copy << ", " << image.width() << " x " << image.height()
              << (same ? ": same\n" : ": differs\n");
    return same ? 0 : 1;
} catch (const lumtab::Error& error) {
    std::cerr << error.what() << '\n';
    return 1;
}
