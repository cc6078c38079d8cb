// What each type of sample holds, and how messages name it.
#pragma once

#include <lumtab/image.h>

#include <string>

namespace lumtab {

// Whether `value` is one a sample of `type` (any but uint) can be: within its
// range and, for an integer type, whole; for float32, a float's value exactly.
// NaN and the infinities are floating-point samples.
bool holds(SampleType type, double value);

// "32-bit floating point", "16-bit signed", ...
std::string sample_type_name(SampleType type);

// Whether samples of `type` are floating point.
constexpr bool is_floating(SampleType type) {
    return type == SampleType::float32 || type == SampleType::float64;
}

}  // namespace lumtab
