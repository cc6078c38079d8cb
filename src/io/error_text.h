// How a name goes into a message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumtab {

// `text` with the characters that would break a message's one line or repaint a
// terminal (line feeds, escapes, other control characters) written as \n, \033, ….
std::string printable(std::string_view text);

// Whether `value` may be an image's maximum value, 1 to 65535.
constexpr bool is_max_value(std::int64_t value) {
    return value >= 1 && value <= 65535;
}

// "maximum value VALUE is out of range (1 to 65535)".
std::string max_value_out_of_range(std::int64_t value);

}  // namespace lumtab
