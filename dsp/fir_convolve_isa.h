#pragma once
// The instruction-set variants behind FirConvolve, so tests and benchmarks can run each one.
#include <cstdint>

enum class FirIsa { Scalar, Sse2, Avx2, Avx512 };

// Whether this processor (and build) can run the variant.
bool FirIsaSupported(FirIsa isa);

// The widest supported variant; FirConvolve uses it.
FirIsa FirIsaSelected();

const char* FirIsaName(FirIsa isa);

// FirConvolve computed with the given variant (which must be supported).
int FirConvolveWith(FirIsa isa, const int16_t* inputRing, int32_t inputBlock, int16_t* outputRing, int32_t outputBlock,
                    uint32_t blockLength, int32_t blocksPerRing, const double* coefficients, uint32_t count);
