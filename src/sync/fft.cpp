// SPDX-License-Identifier: GPL-3.0-or-later
#include "fft.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace corvale {

Fft::Fft(std::size_t size) : m_size(2) {
    while (m_size < size)
        m_size *= 2;
    m_twiddles.resize(m_size / 2);
    for (std::size_t k = 0; k < m_size / 2; ++k) {
        // Computed in double so that long transforms keep their accuracy.
        const double angle = -2.0 * std::numbers::pi * double(k) / double(m_size);
        m_twiddles[k] = {float(std::cos(angle)), float(std::sin(angle))};
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

void Fft::forward(std::span<std::complex<float>> data) const {
    transform(data, false);
}

void Fft::inverse(std::span<std::complex<float>> data) const {
    transform(data, true);
}

void Fft::transform(std::span<std::complex<float>> data, bool inverse) const {
    if (data.size() != m_size)
        return;
    for (std::size_t i = 0; i < m_size; ++i) {
        const std::size_t r = m_bitReversed[i];
        if (r > i)
            std::swap(data[i], data[r]);
    }
    for (std::size_t half = 1; half < m_size; half *= 2) {
        const std::size_t stride = m_size / (2 * half);
        for (std::size_t start = 0; start < m_size; start += 2 * half) {
            std::complex<float>* a = data.data() + start;
            std::complex<float>* b = a + half;
            for (std::size_t k = 0; k < half; ++k) {
                std::complex<float> w = m_twiddles[k * stride];
                if (inverse)
                    w = std::conj(w);
                // Spelled out: std::complex's operator* checks for infinities and is slow.
                const float br = b[k].real() * w.real() - b[k].imag() * w.imag();
                const float bi = b[k].real() * w.imag() + b[k].imag() * w.real();
                const std::complex<float> t{br, bi};
                b[k] = a[k] - t;
                a[k] += t;
            }
        }
    }
}

} // namespace corvale
