#include "image/sample_type.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace lumtab {

namespace {

template <typename Integer>
bool holds_integer(double value) {
    return value >= double(std::numeric_limits<Integer>::min()) &&
           value <= double(std::numeric_limits<Integer>::max()) && std::trunc(value) == value;
}

}  // namespace

bool holds(SampleType type, double value) {
    switch (type) {
        case SampleType::uint:
            return holds_integer<std::uint16_t>(value);
        case SampleType::uint32:
            return holds_integer<std::uint32_t>(value);
        case SampleType::int8:
            return holds_integer<std::int8_t>(value);
        case SampleType::int16:
            return holds_integer<std::int16_t>(value);
        case SampleType::int32:
            return holds_integer<std::int32_t>(value);
        case SampleType::float32:
            return std::isnan(value) || double(static_cast<float>(value)) == value;
        case SampleType::float64:
            break;
    }
    return true;
}

std::string sample_type_name(SampleType type) {
    switch (type) {
        case SampleType::uint:
            return "unsigned";
        case SampleType::uint32:
            return "32-bit unsigned";
        case SampleType::int8:
            return "8-bit signed";
        case SampleType::int16:
            return "16-bit signed";
        case SampleType::int32:
            return "32-bit signed";
        case SampleType::float32:
            return "32-bit floating-point";
        case SampleType::float64:
            break;
    }
    return "64-bit floating-point";
}

int sample_bits(SampleType type, std::int32_t max_value) {
    switch (type) {
        case SampleType::uint:
            return max_value > 255 ? 16 : 8;
        case SampleType::int8:
            return 8;
        case SampleType::int16:
            return 16;
        case SampleType::uint32:
        case SampleType::int32:
        case SampleType::float32:
            return 32;
        case SampleType::float64:
            break;
    }
    return 64;
}

}  // namespace lumtab
