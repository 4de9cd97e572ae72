#include "dsp/fft.h"

#include <cmath>

namespace {

bool IsPowerOfTwo(uint32_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

}  // namespace

int FftLog2(uint32_t n) {
    if (n < 2 || (n & 1) != 0) return 0;
    int bits = 0;
    while ((n & 1) == 0) {
        n >>= 1;
        ++bits;
    }
    return bits;
}

int FftBitReverse(uint32_t index, unsigned bits) {
    // Past 64 rounds every bit of index has been shifted out of the result again.
    if (bits > 64) return 0;
    uint32_t result = 0;
    for (unsigned i = 0; i < bits; ++i) {
        result = result * 2 + (index & 1);
        index >>= 1;
    }
    return static_cast<int>(result);
}

int Fft(uint32_t n, int direction, const double* inRe, const double* inIm, double* outRe, double* outIm) {
    if (n == 0) return 0;
    if (!IsPowerOfTwo(n)) {
        // The butterflies would index past n; leave defined zeros instead of a transform.
        for (uint32_t i = 0; i < n; ++i) outRe[i] = outIm[i] = 0.0;
        return 1;
    }
    const unsigned bits = static_cast<unsigned>(FftLog2(n));
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t j = static_cast<uint32_t>(FftBitReverse(i, bits));
        outRe[j] = inRe[i];
        outIm[j] = inIm ? inIm[i] : 0.0;
    }

    const double twoPi = 6.283185307179586;
    for (uint64_t m = 2; m <= n; m *= 2) {
        const uint32_t h = static_cast<uint32_t>(m / 2);
        double delta = twoPi / static_cast<double>(m);
        if (direction != 0) delta = -delta;
        // Two sines and two cosines per stage; the three-term recurrence gives the rest.
        const double cm1 = std::cos(-delta);
        const double cm2 = std::cos(-2.0 * delta);
        const double sm1 = std::sin(-delta);
        const double sm2 = std::sin(-2.0 * delta);
        const double w = cm1 + cm1;
        for (uint64_t k = 0; k < n; k += m) {
            // Restarting per group keeps the twiddle error bounded by the position in the group.
            double c1 = cm1, c2 = cm2, s1 = sm1, s2 = sm2;
            for (uint32_t j = 0; j < h; ++j) {
                const double c = w * c1 - c2;
                const double s = w * s1 - s2;
                c2 = c1;
                c1 = c;
                s2 = s1;
                s1 = s;
                const uint64_t a = k + j;
                const uint64_t b = a + h;
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
