// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstddef>
#include <span>

namespace corvale {

// In-place complex FFT of one fixed power-of-two size, single precision (FFTW underneath).
// The plans of a size are made once per process and shared by every Fft of that size, on any
// thread. Unscaled both ways: inverse(forward(x)) = size() * x.
class Fft {
public:
    // size is rounded up to a power of two (at least 2).
    explicit Fft(std::size_t size);

    [[nodiscard]] std::size_t size() const { return m_size; }
    // data.size() must equal size().
    void forward(std::span<std::complex<float>> data) const;
    void inverse(std::span<std::complex<float>> data) const;

    struct Plans;

private:
    void transform(std::span<std::complex<float>> data, bool inverse) const;

    std::size_t m_size;
    const Plans* m_plans;
};

} // namespace corvale
