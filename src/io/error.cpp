#include <lumtab/error.h>

#include "io/error_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lumtab {

Error::Error(std::string file, std::string problem, int error_number)
    : file_(std::move(file)), problem_(std::move(problem)), error_number_(error_number) {
    if (problem_.empty()) problem_ = std::strerror(error_number_);
    message_ = "lumtab: " + printable(file_) + ": " + printable(problem_);
}

Error Error::from_errno(std::string file, int error_number) {
    return Error(std::move(file), "", error_number);
}

Error Error::unable_to_open(std::string file, int error_number) {
    Error error(std::move(file), "", error_number);
    error.message_ = "Unable to open file: " + printable(error.file_);
    return error;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        // C1 controls, U+0080 to U+009F, are two bytes in UTF-8: C2 80 to C2 9F.
        bool c1 = c == 0xc2 && i + 1 < text.size() &&
                  (static_cast<unsigned char>(text[i + 1]) & 0xe0) == 0x80;
        if (c >= 0x20 && c != 0x7f && !c1) {
            out += static_cast<char>(c);
            continue;
        }
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\v':
                out += "\\v";
                break;
            default: {
                char escape[16];
                if (c1) {
                    std::snprintf(escape, sizeof escape, "\\302\\%03o",
                                  static_cast<unsigned char>(text[++i]));
                } else {
                    std::snprintf(escape, sizeof escape, "\\%03o", c);
                }
                out += escape;
            }
        }
    }
    return out;
}

}  // namespace lumtab
