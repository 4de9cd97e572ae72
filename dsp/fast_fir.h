#pragma once
// FIR filtering of a whole stream by FFT convolution that still gives, sample for sample, what
// FirConvolve gives: each output comes with a bound on its error, and a sample too close to a step
// of truncation or clamping to be decided by the transform is summed tap by tap instead.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "dsp/fir_convolve_isa.h"

class FastFir {
public:
    // Avx2 (or wider) runs the vector transform, anything else the plain one; both give the same samples.
    FastFir(const double* coefficients, uint32_t count, FirIsa isa = FirIsaSelected());
    ~FastFir();
    FastFir(const FastFir&) = delete;
    FastFir& operator=(const FastFir&) = delete;

    // out[i] = the sample FirConvolve makes from x[i] and the count - 1 samples before it, which must be
    // readable. Safe to call from several threads at once. Returns how many of the n samples were summed
    // tap by tap; adds to *clipped, when given, how many were clamped (their sum, truncated, lay outside
    // -32768..32767).
    size_t Filter(const int16_t* x, size_t n, int16_t* out, size_t* clipped = nullptr) const;

    // Outputs of one transform, 0 when every sample is summed tap by tap (taps that are not all finite
    // or whose sums could overflow). Work split at multiples of it wastes nothing.
    size_t Stride() const;

    struct Plan;

private:
    std::unique_ptr<Plan> m_plan;
};
