// What an image's maximum value may be: 1 to 65535, as every Netpbm format and
// every sample of 16 bits or fewer has it.
#pragma once

#include <cstdint>
#include <string>

namespace lumtab {

constexpr bool is_max_value(std::int64_t value) {
    return value >= 1 && value <= 65535;
}

// "maximum value VALUE is out of range (1 to 65535)".
inline std::string max_value_out_of_range(std::int64_t value) {
    return "maximum value " + std::to_string(value) + " is out of range (1 to 65535)";
}

}  // namespace lumtab
