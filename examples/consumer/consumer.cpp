// Reads an image, writes a copy and its table, and checks what comes back.
#include <lumtab/lumtab.h>

#include <iostream>

int main(int argc, char** argv) try {
    if (argc != 2) throw lumtab::Error("consumer", "usage: consumer IMAGE");
    lumtab::Image image = lumtab::read_image(argv[1]);
    lumtab::write_image("copy.pgm", image, {.plain = false, .comment = "a copy"});
    lumtab::write_table("copy.csv", image, lumtab::TableStyle::csv);
    bool same = lumtab::read_image("copy.pgm") == image &&
                lumtab::read_table("copy.csv", image.max_value()) == image;
    std::cout << image.width() << " x " << image.height() << (same ? ": same\n" : ": differs\n");
    return same ? 0 : 1;
} catch (const lumtab::Error& error) {
    std::cerr << error.what() << '\n';
    return 1;
}
