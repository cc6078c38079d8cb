// A program that defines names the library's own might have clashed with, were
// they not in namespace lumtab, and uses the library all the same.
#include <lumtab/lumtab.h>

#include <cstdio>
#include <string>

struct Error {
    std::string why;
};
struct Input {
    int fd = 0;
};
void report(const Error& error) {
    std::fprintf(stderr, "%s\n", error.why.c_str());
}
std::string printable(const std::string& text) {
    return text;
}

int main() {
    Input input;
    lumtab::Image image(2, 1, 255);
    image.set(1, 0, 7);
    std::string table = lumtab::table_text(image);
    if (table != "0 7 \n") {
        report({printable("unexpected table: " + table)});
        return 1;
    }
    return input.fd;
}
