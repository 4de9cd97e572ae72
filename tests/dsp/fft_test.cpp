#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "dsp/fft.h"

namespace {

struct Spectrum {
    std::vector<double> re, im;
};

// The transform by its definition, in long double.
Spectrum dft(const std::vector<double>& re, const std::vector<double>& im, int direction) {
    const size_t n = re.size();
    Spectrum out{std::vector<double>(n), std::vector<double>(n)};
    const long double sign = direction == 0 ? 1.0L : -1.0L;
    for (size_t k = 0; k < n; ++k) {
        long double sr = 0, si = 0;
        for (size_t t = 0; t < n; ++t) {
            const long double a = sign * 2.0L * 3.14159265358979323846264338327950288L * ((t * k) % n) / n;
            sr += re[t] * cosl(a) - im[t] * sinl(a);
            si += re[t] * sinl(a) + im[t] * cosl(a);
        }
        if (direction != 0) sr /= n, si /= n;
        out.re[k] = static_cast<double>(sr);
        out.im[k] = static_cast<double>(si);
    }
    return out;
}

Spectrum fft(const std::vector<double>& re, const std::vector<double>* im, int direction) {
    Spectrum out{std::vector<double>(re.size()), std::vector<double>(re.size())};
    EXPECT_EQ(Fft(static_cast<uint32_t>(re.size()), direction, re.data(), im ? im->data() : nullptr, out.re.data(),
                  out.im.data()),
              0);
    return out;
}

double maxError(const Spectrum& a, const Spectrum& b) {
    double e = 0;
    for (size_t i = 0; i < a.re.size(); ++i) e = std::max({e, std::fabs(a.re[i] - b.re[i]), std::fabs(a.im[i] - b.im[i])});
    return e;
}

std::vector<double> randomSignal(size_t n, unsigned seed, double scale) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-scale, scale);
    std::vector<double> v(n);
    for (auto& x : v) x = d(gen);
    return v;
}

}  // namespace

TEST(Fft, MatchesTheDefinitionInBothDirectionsForRealAndComplexInput) {
    for (uint32_t n : {1u, 2u, 2048u}) {
        const auto re = randomSignal(n, n, 32768);
        const auto im = randomSignal(n, n + 1, 32768);
        const std::vector<double> zeros(n, 0.0);
        for (int direction : {0, 1}) {
            // The recurrence's rounding grows with the position in a group: allow for it relative to the input.
            const double tolerance = (direction == 0 ? 32768.0 * n : 32768.0) * 1e-12;
            EXPECT_LT(maxError(fft(re, nullptr, direction), dft(re, zeros, direction)), tolerance) << n;
            EXPECT_LT(maxError(fft(re, &im, direction), dft(re, im, direction)), tolerance) << n;
        }
    }
}

TEST(Fft, AbsentImaginaryPartEqualsZeros) {
    const auto re = randomSignal(64, 7, 100);
    const std::vector<double> zeros(64, 0.0);
    const Spectrum a = fft(re, nullptr, 0), b = fft(re, &zeros, 0);
    EXPECT_EQ(a.re, b.re);
    EXPECT_EQ(a.im, b.im);
}

TEST(Fft, ImpulseConstantAndSymmetry) {
    std::vector<double> impulse(2048, 0.0);
    impulse[0] = 1.0;
    const Spectrum flat = fft(impulse, nullptr, 0), scaled = fft(impulse, nullptr, 1);
    for (int k = 0; k < 2048; ++k) {
        ASSERT_NEAR(flat.re[k], 1.0, 1e-12);
        ASSERT_NEAR(flat.im[k], 0.0, 1e-12);
        ASSERT_NEAR(scaled.re[k], 1.0 / 2048, 1e-15);
    }
    const Spectrum dc = fft(std::vector<double>(2048, 3.0), nullptr, 0);
    EXPECT_NEAR(dc.re[0], 3.0 * 2048, 1e-9);
    for (int k = 1; k < 2048; ++k) ASSERT_NEAR(std::hypot(dc.re[k], dc.im[k]), 0.0, 1e-8);
    const Spectrum s = fft(randomSignal(2048, 3, 30000), nullptr, 0);
    for (int k = 1; k < 1024; ++k) {
        ASSERT_NEAR(s.re[2048 - k], s.re[k], 1e-4);
        ASSERT_NEAR(s.im[2048 - k], -s.im[k], 1e-4);
    }
}

TEST(Fft, TheTwoDirectionsAreInverse) {
    const auto re = randomSignal(2048, 11, 32768), im = randomSignal(2048, 12, 32768);
    const Spectrum forward = fft(re, &im, 0);
    const Spectrum back = fft(forward.re, &forward.im, 1);
    for (int t = 0; t < 2048; ++t) {
        ASSERT_NEAR(back.re[t], re[t], 1e-6);
        ASSERT_NEAR(back.im[t], im[t], 1e-6);
    }
}

TEST(Fft, SizeOneCopiesAndSizeZeroWritesNothing) {
    double in = 5.5, outRe = 0, outIm = 7;
    Fft(1, 1, &in, nullptr, &outRe, &outIm);
    EXPECT_EQ(outRe, 5.5);
    EXPECT_EQ(outIm, 0.0);
    double untouched = 9;
    Fft(0, 0, &in, nullptr, &untouched, &untouched);
    EXPECT_EQ(untouched, 9);
}

TEST(Fft, Log2AndBitReverse) {
    EXPECT_EQ(FftLog2(2048), 11);
    EXPECT_EQ(FftLog2(1), 0);
    EXPECT_EQ(FftLog2(0), 0);
    EXPECT_EQ(FftLog2(12), 2);
    EXPECT_EQ(FftLog2(7), 0);
    EXPECT_EQ(FftBitReverse(1, 11), 1024);
    EXPECT_EQ(FftBitReverse(6, 3), 3);
    EXPECT_EQ(FftBitReverse(5, 0), 0);
}
