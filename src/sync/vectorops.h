// SPDX-License-Identifier: GPL-3.0-or-later
// Single-precision vector routines of the analysis.
//
// Every reduction keeps kLanes running partial sums: element i is added into lane i % kLanes,
// in index order, and the lanes are then folded pairwise (lane j + lane j + 8, then + 4, + 2,
// + 1). That order is fixed by the source, so the result is the same bit for bit whether the
// compiler emits scalar, SSE or AVX code (no contraction into fused multiply-adds: the project
// builds in ISO mode, where GCC keeps -ffp-contract=off, and no fma target is enabled). The
// same values in the same order therefore always give the same sum, wherever they sit in
// memory, which the envelope code relies on.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace corvale::vec {

inline constexpr std::size_t kLanes = 16;

namespace detail {

inline float foldLanes(float (&acc)[kLanes]) {
    for (std::size_t width = kLanes / 2; width > 0; width /= 2) {
        for (std::size_t j = 0; j < width; ++j)
            acc[j] += acc[j + width];
    }
    return acc[0];
}

} // namespace detail

// Σ a[i]·b[i] over n values.
inline float dotProduct(const float* a, const float* b, std::size_t n) {
    float acc[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t j = 0; j < kLanes; ++j)
            acc[j] += a[i + j] * b[i + j];
    }
    for (std::size_t j = 0; i + j < n; ++j)
        acc[j] += a[i + j] * b[i + j];
    return detail::foldLanes(acc);
}

// Σ a[i]² over n values.
inline float sumOfSquares(const float* a, std::size_t n) {
    float acc[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t j = 0; j < kLanes; ++j)
            acc[j] += a[i + j] * a[i + j];
    }
    for (std::size_t j = 0; i + j < n; ++j)
        acc[j] += a[i + j] * a[i + j];
    return detail::foldLanes(acc);
}

// Σ a[i] over n values.
inline float sum(const float* a, std::size_t n) {
    float acc[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t j = 0; j < kLanes; ++j)
            acc[j] += a[i + j];
    }
    for (std::size_t j = 0; i + j < n; ++j)
        acc[j] += a[i + j];
    return detail::foldLanes(acc);
}

// a[i] += value for every i.
inline void addScalar(float* a, std::size_t n, float value) {
    for (std::size_t i = 0; i < n; ++i)
        a[i] += value;
}

inline float dotProduct(std::span<const float> a, std::span<const float> b) {
    return dotProduct(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size());
}
inline float sumOfSquares(std::span<const float> a) {
    return sumOfSquares(a.data(), a.size());
}
inline float sum(std::span<const float> a) {
    return sum(a.data(), a.size());
}
// Mean of the values; 0 for an empty list.
inline float mean(std::span<const float> a) {
    return a.empty() ? 0.0f : sum(a) / static_cast<float>(a.size());
}
// sqrt(mean of squares); 0 for an empty list.
inline float rootMeanSquare(std::span<const float> a) {
    return a.empty() ? 0.0f : std::sqrt(sumOfSquares(a) / static_cast<float>(a.size()));
}
inline void addScalar(std::span<float> a, float value) {
    addScalar(a.data(), a.size(), value);
}

} // namespace corvale::vec
