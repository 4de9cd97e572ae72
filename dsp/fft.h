#pragma once
// Radix-2 decimation-in-time FFT over double arrays: no state, no allocation.
#include <cstdint>

// direction 0: X[k] = sum x[t] e^(+2pi i t k/n), unscaled.
// direction != 0: X[k] = (1/n) sum x[t] e^(-2pi i t k/n).
// inIm may be null (all zeros). Outputs must not overlap the inputs. Returns 0; for an n that is
// not a power of two it computes nothing, zeros the outputs and returns 1.
int Fft(uint32_t n, int direction, const double* inRe, const double* inIm, double* outRe, double* outIm);

// Position of the lowest set bit of an even n >= 2 (log2 n for a power of two); 0 otherwise.
int FftLog2(uint32_t n);

// The low `bits` bits of index in reverse order.
int FftBitReverse(uint32_t index, unsigned bits);
