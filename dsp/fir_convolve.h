#pragma once
#include <cstddef>
#include <cstdint>

// Direct-form FIR over a ring of blockLength * blocksPerRing samples (a power of two):
// output sample i of outputBlock = clamp(sum_j c[j] * x[(n - j) mod N]), truncated toward zero,
// with n = blockLength * inputBlock + i. Products are summed in tap order into one double,
// so the result is bit-identical to the plain loop. A sum that is not a number gives 0.
// Returns 0; returns 1 and writes nothing when the ring is not a power of two long or the
// output block lies outside it.
int FirConvolve(const int16_t* inputRing, int32_t inputBlock, int16_t* outputRing, int32_t outputBlock,
                uint32_t blockLength, int32_t blocksPerRing, const double* coefficients, uint32_t count);

// The same sums over a plain array: out[i] is the sample FirConvolve makes from x[i] and the count - 1
// samples before it, which must be readable.
void FirConvolveSpan(const int16_t* x, size_t n, const double* coefficients, uint32_t count, int16_t* out);

// One such sample, x pointing at its newest input.
int16_t FirConvolveSample(const int16_t* x, const double* coefficients, uint32_t count);
// Its sum before truncating and clamping.
double FirConvolveSum(const int16_t* x, const double* coefficients, uint32_t count);
