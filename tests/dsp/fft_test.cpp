#include "dsp/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

struct Spectrum {
    std::vector<double> re, im;
    explicit Spectrum(size_t n) : re(n), im(n) {}
};

// The transform by its definition, in long double.
void Dft(uint32_t n, int direction, const std::vector<double>& xr, const std::vector<double>& xi,
         std::vector<long double>& Xr, std::vector<long double>& Xi) {
    const long double pi = 3.141592653589793238462643383279502884L;
    const long double sign = direction == 0 ? 1.0L : -1.0L;
    std::vector<long double> cosTable(n), sinTable(n);
    for (uint32_t r = 0; r < n; ++r) {
        const long double a = sign * 2.0L * pi * r / n;
        cosTable[r] = cosl(a);
        sinTable[r] = sinl(a);
    }
    Xr.assign(n, 0.0L);
    Xi.assign(n, 0.0L);
    for (uint32_t k = 0; k < n; ++k) {
        for (uint32_t t = 0; t < n; ++t) {
            const uint32_t r = static_cast<uint32_t>((uint64_t(t) * k) % n);
            Xr[k] += xr[t] * cosTable[r] - xi[t] * sinTable[r];
            Xi[k] += xr[t] * sinTable[r] + xi[t] * cosTable[r];
        }
        if (direction != 0) {
            Xr[k] /= n;
            Xi[k] /= n;
        }
    }
}

std::vector<double> Random(size_t n, unsigned seed, double scale) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-scale, scale);
    std::vector<double> v(n);
    for (double& x : v) x = d(gen);
    return v;
}

void ExpectMatchesDft(uint32_t n, int direction, bool complexInput) {
    SCOPED_TRACE(testing::Message() << "n=" << n << " direction=" << direction << " complex=" << complexInput);
    const std::vector<double> xr = Random(n, n + 7, 32768.0);
    const std::vector<double> xi = complexInput ? Random(n, n + 11, 32768.0) : std::vector<double>(n, 0.0);
    Spectrum out(n);
    ASSERT_EQ(Fft(n, direction, xr.data(), complexInput ? xi.data() : nullptr, out.re.data(), out.im.data()), 0);
    std::vector<long double> Xr, Xi;
    Dft(n, direction, xr, xi, Xr, Xi);
    // The twiddle recurrence loses about one ulp per step inside a group: allow 1e-11 of the
    // largest possible output magnitude. A wrong twiddle or index is off by far more.
    const double bound = 1e-11 * 32768.0 * 2 * n / (direction ? n : 1);
    for (uint32_t k = 0; k < n; ++k) {
        ASSERT_NEAR(out.re[k], static_cast<double>(Xr[k]), bound) << "k=" << k;
        ASSERT_NEAR(out.im[k], static_cast<double>(Xi[k]), bound) << "k=" << k;
    }
}

}  // namespace

TEST(Fft, MatchesDefinitionForBothDirectionsRealAndComplexInput) {
    for (uint32_t n : {1u, 2u, 8u, 2048u})
        for (int direction : {0, 1, -3})
            for (bool complexInput : {false, true}) ExpectMatchesDft(n, direction, complexInput);
}

TEST(Fft, MissingImaginaryInputEqualsZeros) {
    const uint32_t n = 2048;
    const std::vector<double> xr = Random(n, 1, 1000.0), zeros(n, 0.0);
    Spectrum a(n), b(n);
    Fft(n, 0, xr.data(), nullptr, a.re.data(), a.im.data());
    Fft(n, 0, xr.data(), zeros.data(), b.re.data(), b.im.data());
    EXPECT_EQ(a.re, b.re);
    EXPECT_EQ(a.im, b.im);
}

TEST(Fft, ImpulseAndConstant) {
    const uint32_t n = 2048;
    std::vector<double> impulse(n, 0.0), constant(n, -3.25);
    impulse[0] = 1.0;
    Spectrum out(n);
    Fft(n, 0, impulse.data(), nullptr, out.re.data(), out.im.data());
    for (uint32_t k = 0; k < n; ++k) {
        EXPECT_NEAR(out.re[k], 1.0, 1e-12);
        EXPECT_NEAR(out.im[k], 0.0, 1e-12);
    }
    Fft(n, 1, impulse.data(), nullptr, out.re.data(), out.im.data());
    for (uint32_t k = 0; k < n; ++k) {
        EXPECT_NEAR(out.re[k], 1.0 / n, 1e-15);
        EXPECT_NEAR(out.im[k], 0.0, 1e-15);
    }
    Fft(n, 0, constant.data(), nullptr, out.re.data(), out.im.data());
    EXPECT_NEAR(out.re[0], -3.25 * n, 1e-9);
    for (uint32_t k = 1; k < n; ++k) {
        EXPECT_NEAR(out.re[k], 0.0, 1e-9);
        EXPECT_NEAR(out.im[k], 0.0, 1e-9);
    }
}

TEST(Fft, RealInputGivesConjugateSymmetricOutput) {
    const uint32_t n = 2048;
    const std::vector<double> x = Random(n, 5, 32768.0);
    Spectrum out(n);
    Fft(n, 0, x.data(), nullptr, out.re.data(), out.im.data());
    for (uint32_t k = 1; k < n; ++k) {
        EXPECT_NEAR(out.re[n - k], out.re[k], 1e-11 * 32768.0 * n);
        EXPECT_NEAR(out.im[n - k], -out.im[k], 1e-11 * 32768.0 * n);
    }
}

TEST(Fft, DirectionsAreInverse) {
    const uint32_t n = 2048;
    const std::vector<double> xr = Random(n, 9, 32768.0), xi = Random(n, 10, 100.0);
    Spectrum fwd(n), back(n);
    Fft(n, 0, xr.data(), xi.data(), fwd.re.data(), fwd.im.data());
    Fft(n, 1, fwd.re.data(), fwd.im.data(), back.re.data(), back.im.data());
    for (uint32_t t = 0; t < n; ++t) {
        EXPECT_NEAR(back.re[t], xr[t], 1e-11 * 32768.0);
        EXPECT_NEAR(back.im[t], xi[t], 1e-11 * 32768.0);
    }
}

TEST(Fft, TinySizes) {
    const double x = 0.1, y = -7.5;
    double re = 99.0, im = 99.0;
    EXPECT_EQ(Fft(1, 0, &x, &y, &re, &im), 0);
    EXPECT_EQ(re, x);
    EXPECT_EQ(im, y);
    EXPECT_EQ(Fft(1, 1, &x, nullptr, &re, &im), 0);
    EXPECT_EQ(re, x);
    EXPECT_EQ(im, 0.0);
    re = im = 99.0;
    EXPECT_EQ(Fft(0, 1, &x, &y, &re, &im), 0);
    EXPECT_EQ(re, 99.0);
    EXPECT_EQ(im, 99.0);
}

TEST(Fft, SizeNotAPowerOfTwoIsRefusedWithoutWritingPastIt) {
    std::vector<double> x(12, 1.0), re(13, 5.0), im(13, 5.0);
    EXPECT_EQ(Fft(12, 0, x.data(), nullptr, re.data(), im.data()), 1);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(re[i], 0.0);
    EXPECT_EQ(re[12], 5.0);
    EXPECT_EQ(im[12], 5.0);
}

TEST(Fft, Log2AndBitReverse) {
    EXPECT_EQ(FftLog2(2048), 11);
    EXPECT_EQ(FftLog2(2), 1);
    EXPECT_EQ(FftLog2(1), 0);
    EXPECT_EQ(FftLog2(0), 0);
    EXPECT_EQ(FftLog2(7), 0);
    EXPECT_EQ(FftLog2(12), 2);
    EXPECT_EQ(FftLog2(0x80000000u), 31);
    EXPECT_EQ(FftBitReverse(1, 11), 1024);
    EXPECT_EQ(FftBitReverse(6, 3), 3);
    EXPECT_EQ(FftBitReverse(0xFF, 0), 0);
    EXPECT_EQ(FftBitReverse(0b1011, 2), 0b11);  // only the low bits count
    EXPECT_EQ(FftBitReverse(1, 32), static_cast<int>(0x80000000u));
    EXPECT_EQ(FftBitReverse(1, 1000), 0);
}
