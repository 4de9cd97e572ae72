#include "dsp/fir_convolve.h"

#include "dsp/fir_limits.h"

namespace {

constexpr uint32_t MAX_BLOCK = 2048;
constexpr uint32_t TILE = 32;  // output samples summed side by side, one accumulator each

int16_t clampTruncate(double acc) {
    if (acc != acc) return 0;  // an infinite coefficient times a silent sample: nothing sensible to play
    if (acc < -32768.0)
        acc = -32768.0;
    else if (acc > 32767.0)
        acc = 32767.0;
    return static_cast<int16_t>(static_cast<int>(acc));
}

// The plain loop: the definition of the result.
void convolvePlain(const int16_t* in, int32_t inBlock, int16_t* out, int32_t outBlock, uint32_t L, int32_t B,
                   const double* c, uint32_t count) {
    const uint32_t mask = L * static_cast<uint32_t>(B) - 1;
    for (uint32_t i = 0; i < L; ++i) {
        double acc = 0.0;
        if (count > 0) {
            uint32_t e = L * static_cast<uint32_t>(inBlock + B) + i;
            for (uint32_t j = 0; j < count; ++j) {
                acc += static_cast<double>(in[e & mask]) * c[j];
                --e;
            }
        }
        out[L * static_cast<uint32_t>(outBlock) + i] = clampTruncate(acc);
    }
}

// Vectorised across output samples: every lane keeps its own accumulator and adds the taps in the
// same order as the plain loop, so the sums round identically (no fused multiply-add: the library is
// built with -ffp-contract=off).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void convolveTiles(const double* x, uint32_t history, uint32_t L, const double* c, uint32_t count, double* y) {
    for (uint32_t i0 = 0; i0 < L; i0 += TILE) {
        double acc[TILE] = {};
        for (uint32_t j = 0; j < count; ++j) {
            const double cj = c[j];
            const double* xp = x + history + i0 - j;
            for (uint32_t t = 0; t < TILE; ++t) acc[t] += xp[t] * cj;
        }
        for (uint32_t t = 0; t < TILE; ++t) y[i0 + t] = acc[t];
    }
}

}  // namespace

int FirConvolve(const int16_t* inputRing, int32_t inputBlock, int16_t* outputRing, int32_t outputBlock,
                uint32_t blockLength, int32_t blocksPerRing, const double* coefficients, uint32_t count) {
    const uint32_t L = blockLength;
    if (count == 0 || L > MAX_BLOCK || L % TILE != 0 || count > FIR_MAX_COEFFICIENTS) {
        convolvePlain(inputRing, inputBlock, outputRing, outputBlock, L, blocksPerRing, coefficients, count);
        return 0;
    }
    // The taps reach count - 1 samples before the block, across the ring's wrap: lay them out flat.
    const uint32_t mask = L * static_cast<uint32_t>(blocksPerRing) - 1;
    const uint32_t history = count - 1;
    const uint32_t first = L * static_cast<uint32_t>(inputBlock + blocksPerRing) - history;
    double x[FIR_MAX_COEFFICIENTS - 1 + MAX_BLOCK];
    for (uint32_t m = 0; m < history + L; ++m) x[m] = inputRing[(first + m) & mask];
    double y[MAX_BLOCK];
    convolveTiles(x, history, L, coefficients, count, y);
    int16_t* out = outputRing + L * static_cast<uint32_t>(outputBlock);
    for (uint32_t i = 0; i < L; ++i) out[i] = clampTruncate(y[i]);
    return 0;
}
