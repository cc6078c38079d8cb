// Writes the reader's test images into a directory as the fuzzers' seed corpus:
// valid-NN.pgm for the images it accepts and malformed-NN.pgm for those it refuses.
#include <cstdio>
#include <fstream>
#include <string>

#include "pgm_cases.h"

namespace {

bool write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out.flush());
}

std::string numbered(const std::string& dir, const char* kind, std::size_t i) {
    char name[32];
    std::snprintf(name, sizeof name, "/%s-%02zu.pgm", kind, i);
    return dir + name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: pgm_seed_corpus directory\n", stderr);
        return 2;
    }
    bool ok = true;
    for (std::size_t i = 0; i < valid_images().size(); ++i)
        ok &= write(numbered(argv[1], "valid", i),
                    valid_images()[i].header + valid_images()[i].raster);
    for (std::size_t i = 0; i < malformed_images().size(); ++i)
        ok &= write(numbered(argv[1], "malformed", i), malformed_images()[i].bytes);
    if (!ok) std::fprintf(stderr, "pgm_seed_corpus: cannot write to %s\n", argv[1]);
    return ok ? 0 : 1;
}
