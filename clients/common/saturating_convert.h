// Float-to-integer truncation as the device's ARM VCVT performs it: toward zero,
// saturating at the int32 limits, NaN giving 0. A plain cast is undefined outside
// the int32 range, and x86 would give INT32_MIN there instead.
#pragma once

#include <cstdint>

inline int32_t saturating_trunc(float value) {
    if (!(value == value)) return 0;
    // 2^31 is exactly representable; every float below it truncates into range.
    if (value >= 2147483648.0f) return INT32_MAX;
    if (value <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(value);
}
