#pragma once
// Shared by the reader fuzzers: write the input to a file, and run what was read through
// the convolution, which must stay defined for any coefficients (inf, NaN, huge).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "dsp/fir_convolve.h"

inline void WriteInput(const char* path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

inline void ConvolveWith(const double* coefficients, int32_t count) {
    if (count < 0 || count > 1000) std::abort();
    constexpr uint32_t kBlock = 64;
    int16_t in[kBlock * 2], out[kBlock * 2];
    for (uint32_t i = 0; i < kBlock * 2; ++i) in[i] = static_cast<int16_t>(i * 7919);
    if (FirConvolve(in, 1, out, 0, kBlock, 2, coefficients, static_cast<uint32_t>(count)) != 0) std::abort();
}
