// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace corvale::test {

// The hand-written radix-2 transform the application used before FFTW, kept as the reference
// that the library's results are held to. Unscaled both ways, like corvale::Fft.
class Radix2Fft {
public:
    // size is rounded up to a power of two (at least 2).
    explicit Radix2Fft(std::size_t size);

    [[nodiscard]] std::size_t size() const { return m_size; }
    // data.size() must equal size().
    void forward(std::span<std::complex<float>> data) const;
    void inverse(std::span<std::complex<float>> data) const;

private:
    void transform(std::span<std::complex<float>> data, bool inverse) const;

    static constexpr std::size_t kCacheBlock = std::size_t{1} << 12;

    std::size_t m_size;
    std::vector<std::complex<float>> m_twiddles; // per span: e^{-iπk/half}, k < half
    std::vector<std::size_t> m_bitReversed;
};

} // namespace corvale::test
