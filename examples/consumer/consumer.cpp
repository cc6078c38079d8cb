// Reads an image, writes a copy and its table, and checks that both read back as
// the same image.
#include <lumtab/lumtab.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) try {
    if (argc != 2) throw lumtab::Error("consumer", "usage: consumer IMAGE");
    lumtab::Image image = lumtab::read_image(argv[1]);
    // PGM, PPM or PAM, as the image's channels need.
    const std::string copy = "copy." + std::string(lumtab::image_suffix(image.info()));
    lumtab::write_image(copy, image, {.plain = false, .comment = "a copy"});
    lumtab::write_table("copy.csv", image, lumtab::TableStyle::csv);
    bool same = lumtab::read_image(copy) == image &&
                lumtab::read_table("copy.csv", image.max_value(), image.channels()) == image;
    std::cout << copy << ", " << image.width() << " x " << image.height()
              << (same ? ": same\n" : ": differs\n");
    return same ? 0 : 1;
} catch (const lumtab::Error& error) {
    std::cerr << error.what() << '\n';
    return 1;
}
