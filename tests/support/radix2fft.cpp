// SPDX-License-Identifier: GPL-3.0-or-later
#include "radix2fft.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace corvale::test {

Radix2Fft::Radix2Fft(std::size_t size) : m_size(2) {
    while (m_size < size)
        m_size *= 2;
    // Each span's twiddles in order, span `half` from index half − 1.
    m_twiddles.resize(m_size - 1);
    for (std::size_t half = 1; half < m_size; half *= 2) {
        for (std::size_t k = 0; k < half; ++k) {
            // Computed in double so that long transforms keep their accuracy.
            const double angle = -std::numbers::pi * double(k) / double(half);
            m_twiddles[half - 1 + k] = {float(std::cos(angle)), float(std::sin(angle))};
        }
    }
    m_bitReversed.resize(m_size);
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < m_size)
        ++bits;
    for (std::size_t i = 0; i < m_size; ++i) {
        std::size_t r = 0;
        for (std::size_t b = 0; b < bits; ++b)
            r |= ((i >> b) & 1U) << (bits - 1 - b);
        m_bitReversed[i] = r;
    }
}

void Radix2Fft::forward(std::span<std::complex<float>> data) const {
    transform(data, false);
}

void Radix2Fft::inverse(std::span<std::complex<float>> data) const {
    transform(data, true);
}

namespace {

// Every butterfly of one span (half) over count values from data.
// twiddles holds e^{-iπk/half} for k < half, contiguous, so that the inner loop reads every
// array in order and the compiler can keep it in vector registers.
template <bool inverse>
void butterflies(std::complex<float>* data, std::size_t count, std::size_t half,
                 const std::complex<float>* twiddles) {
    for (std::size_t start = 0; start < count; start += 2 * half) {
        std::complex<float>* a = data + start;
        std::complex<float>* b = a + half;
        for (std::size_t k = 0; k < half; ++k) {
            const std::complex<float> w = twiddles[k];
            const float wi = inverse ? -w.imag() : w.imag();
            // Spelled out: std::complex's operator* checks for infinities and is slow.
            const float br = b[k].real() * w.real() - b[k].imag() * wi;
            const float bi = b[k].real() * wi + b[k].imag() * w.real();
            const std::complex<float> t{br, bi};
            b[k] = a[k] - t;
            a[k] += t;
        }
    }
}

template <bool inverse>
void transformIn(std::complex<float>* data, std::size_t size, std::size_t block,
                 const std::complex<float>* twiddles) {
    for (std::size_t first = 0; first < size; first += block) {
        for (std::size_t half = 1; half < block; half *= 2)
            butterflies<inverse>(data + first, block, half, twiddles + half - 1);
    }
    for (std::size_t half = block; half < size; half *= 2)
        butterflies<inverse>(data, size, half, twiddles + half - 1);
}

} // namespace

void Radix2Fft::transform(std::span<std::complex<float>> data, bool inverse) const {
    if (data.size() != m_size)
        return;
    for (std::size_t i = 0; i < m_size; ++i) {
        const std::size_t r = m_bitReversed[i];
        if (r > i)
            std::swap(data[i], data[r]);
    }
    // The short spans stay inside blocks that fit the cache: finish those one block at a time
    // rather than sweeping the whole array once per span.
    const std::size_t block = std::min(m_size, kCacheBlock);
    if (inverse)
        transformIn<true>(data.data(), m_size, block, m_twiddles.data());
    else
        transformIn<false>(data.data(), m_size, block, m_twiddles.data());
}

} // namespace corvale::test
