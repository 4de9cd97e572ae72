#include "dsp/fft.h"

#include <cmath>

int FftLog2(uint32_t n) {
    if (n < 2 || (n & 1u)) return 0;
    int bits = 0;
    while ((n & 1u) == 0) {
        n >>= 1;
        ++bits;
    }
    return bits;
}

int FftBitReverse(uint32_t index, unsigned bits) {
    uint32_t result = 0;
    for (unsigned b = 0; b < bits; ++b) {
        result = result * 2 + (index & 1u);
        index >>= 1;
    }
    return static_cast<int>(result);
}

int Fft(uint32_t n, int direction, const double* inRe, const double* inIm, double* outRe, double* outIm) {
    const unsigned bits = static_cast<unsigned>(FftLog2(n));
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t j = static_cast<uint32_t>(FftBitReverse(i, bits));
        outRe[j] = inRe[i];
        outIm[j] = inIm ? inIm[i] : 0.0;
    }
    const double twoPi = 6.283185307179586;
    for (uint32_t m = 2; m <= n; m *= 2) {
        const uint32_t h = m / 2;
        double delta = twoPi / m;
        if (direction != 0) delta = -delta;
        // Two cosines and two sines per stage; the recurrence gives the rest.
        const double c1 = std::cos(-delta), c2 = std::cos(-2.0 * delta);
        const double s1 = std::sin(-delta), s2 = std::sin(-2.0 * delta);
        const double w = c1 + c1;
        for (uint32_t k = 0; k < n; k += m) {
            // Restarted in every group, so rounding grows with j, not with the number of groups.
            double cPrev = c1, cPrev2 = c2, sPrev = s1, sPrev2 = s2;
            for (uint32_t j = 0; j < h; ++j) {
                const double c = w * cPrev - cPrev2;
                const double s = w * sPrev - sPrev2;
                cPrev2 = cPrev;
                cPrev = c;
                sPrev2 = sPrev;
                sPrev = s;
                const uint32_t a = k + j, b = a + h;
                const double tr = c * outRe[b] - s * outIm[b];
                const double ti = s * outRe[b] + c * outIm[b];
                outRe[b] = outRe[a] - tr;
                outIm[b] = outIm[a] - ti;
                outRe[a] = outRe[a] + tr;
                outIm[a] = outIm[a] + ti;
            }
        }
    }
    if (direction != 0) {
        const double r = 1.0 / static_cast<double>(n);
        for (uint32_t i = 0; i < n; ++i) {
            outRe[i] *= r;
            outIm[i] *= r;
        }
    }
    return 0;
}
