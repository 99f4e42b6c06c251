// How much of a block is subnormal: the benchmarks of decaying state report it, so
// that a figure labelled subnormal shows that the state really was.
#pragma once

#include <cmath>
#include <vector>

inline double subnormal_share(const std::vector<float>& block) {
    size_t subnormal = 0;
    for (float x : block) subnormal += std::fpclassify(x) == FP_SUBNORMAL;
    return block.empty() ? 0.0 : static_cast<double>(subnormal) / static_cast<double>(block.size());
}
