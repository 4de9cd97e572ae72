#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "dsp/fir_convolve.h"

namespace {

constexpr int L = 2048, B = 8, N = L * B;

// The convolution as plainly as it can be written.
void reference(const std::vector<int16_t>& in, int inBlock, std::vector<int16_t>& out, int outBlock,
               const std::vector<double>& c) {
    for (int i = 0; i < L; ++i) {
        double acc = 0.0;
        const int n = L * inBlock + i;
        for (size_t j = 0; j < c.size(); ++j) acc += static_cast<double>(in[((n - static_cast<int>(j)) % N + N) % N]) * c[j];
        if (acc < -32768.0) acc = -32768.0;
        if (acc > 32767.0) acc = 32767.0;
        out[L * outBlock + i] = static_cast<int16_t>(static_cast<int>(acc));
    }
}

std::vector<int16_t> convolve(const std::vector<int16_t>& in, int inBlock, const std::vector<double>& c,
                              int outBlock = -1) {
    if (outBlock < 0) outBlock = inBlock;
    std::vector<int16_t> out(N, 12345);
    EXPECT_EQ(FirConvolve(in.data(), inBlock, out.data(), outBlock, L, B, c.data(), static_cast<uint32_t>(c.size())), 0);
    return out;
}

std::vector<int16_t> block(const std::vector<int16_t>& ring, int k) {
    return {ring.begin() + L * k, ring.begin() + L * (k + 1)};
}

}  // namespace

TEST(FirConvolve, BitIdenticalToThePlainLoopOnRandomRings) {
    std::mt19937 gen(42);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    std::normal_distribution<double> coefficient(0.0, 0.05);
    for (size_t count : {0u, 1u, 2u, 999u, 1000u}) {
        std::vector<int16_t> ring(N);
        for (auto& s : ring) s = static_cast<int16_t>(sample(gen));
        std::vector<double> c(count);
        for (auto& x : c) x = coefficient(gen);
        for (int inBlock : {0, 1, 7}) {
            const int outBlock = (inBlock + 3) % B;
            std::vector<int16_t> expected(N, 12345);
            reference(ring, inBlock, expected, outBlock, c);
            const auto got = convolve(ring, inBlock, c, outBlock);
            ASSERT_EQ(block(got, outBlock), block(expected, outBlock)) << "count " << count << " block " << inBlock;
            // Nothing outside the output block is written.
            ASSERT_EQ(got[L * ((outBlock + 1) % B)], 12345);
        }
    }
}

TEST(FirConvolve, NoCoefficientsGiveSilence) {
    std::vector<int16_t> ring(N, 1000);
    const auto out = convolve(ring, 2, {});
    EXPECT_EQ(block(out, 2), std::vector<int16_t>(L, 0));
}

TEST(FirConvolve, SingleCoefficientsCopyOrHalveWithTruncation) {
    std::vector<int16_t> ring(N, 0);
    const int16_t values[] = {3, -3, 1, -1, 32767, -32768};
    for (int i = 0; i < 6; ++i) ring[L * 4 + i] = values[i];
    EXPECT_EQ(block(convolve(ring, 4, {1.0}), 4), block(ring, 4));
    const auto half = convolve(ring, 4, {0.5});
    EXPECT_EQ(std::vector<int16_t>(half.begin() + L * 4, half.begin() + L * 4 + 4), (std::vector<int16_t>{1, -1, 0, 0}));
}

TEST(FirConvolve, SumsClampAtTheSampleRange) {
    std::vector<int16_t> ring(N, 0);
    ring[L + 0] = 30000, ring[L + 1] = 30000, ring[L + 2] = -30000, ring[L + 3] = -30000;
    const auto out = convolve(ring, 1, {1.0, 1.0});
    EXPECT_EQ(out[L + 1], 32767);
    EXPECT_EQ(out[L + 3], -32768);
    // The bounds themselves pass; just beyond them is cut back.
    ring.assign(N, 0);
    ring[L] = 1;
    for (double c : {32767.0, -32768.0, 32767.9, -32768.4, 2.9, -2.9, -0.5}) {
        const auto o = convolve(ring, 1, {c});
        const int expected = c > 32767 ? 32767 : c < -32768 ? -32768 : static_cast<int>(c);
        EXPECT_EQ(o[L], expected) << c;
    }
}

TEST(FirConvolve, TapsReachBackAcrossBlocksAndFromBlockZeroIntoBlockSeven) {
    std::vector<int16_t> ring(N);
    for (int i = 0; i < N; ++i) ring[i] = static_cast<int16_t>(i % 30000);
    // One sample of delay: each block's first output is the previous block's last input.
    for (int k = 0; k < B; ++k) {
        const auto out = convolve(ring, k, {0.0, 1.0});
        const int previous = (k + B - 1) % B;
        EXPECT_EQ(out[L * k], ring[L * previous + L - 1]) << "block " << k;
        EXPECT_EQ(out[L * k + 1], ring[L * k]);
    }
    // At the start of a run the ring is zero before the first block.
    std::vector<int16_t> fresh(N, 0);
    for (int i = 0; i < L; ++i) fresh[i] = 100;
    const std::vector<double> average(1000, 0.001);
    const auto out = convolve(fresh, 0, average);
    EXPECT_EQ(out[0], 0);  // 100 * 0.001 = 0.1, truncated; the taps before read zeros
    std::vector<int16_t> expected(N);
    reference(fresh, 0, expected, 0, average);
    EXPECT_EQ(block(out, 0), block(expected, 0));
    EXPECT_EQ(out[999], 99);  // a thousand times 0.1 sums to just below 100
}

TEST(FirConvolve, InfiniteCoefficientsNeverConvertNaN) {
    std::vector<int16_t> ring(N, 0);
    ring[L * 2 + 5] = 7;
    const auto out = convolve(ring, 2, {1.0 / 0.0});
    EXPECT_EQ(out[L * 2 + 5], 32767);
    EXPECT_EQ(out[L * 2 + 4], 0);  // 0 * inf
}
