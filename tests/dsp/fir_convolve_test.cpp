#include "dsp/fir_convolve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dsp/fast_fir.h"
#include "dsp/fir_convolve_isa.h"

namespace {

constexpr uint32_t kBlock = 2048;
constexpr int32_t kBlocks = 8;
constexpr uint32_t kRing = kBlock * kBlocks;

using Ring = std::vector<int16_t>;

// The convolution written the plainest way, as the runners expect it to behave.
void Reference(const Ring& in, int32_t inBlock, Ring& out, int32_t outBlock, uint32_t L, int32_t B, const double* c,
               uint32_t count) {
    const uint32_t mask = L * B - 1;
    for (uint32_t i = 0; i < L; ++i) {
        double acc = 0.0;
        uint32_t e = L * (inBlock + B) + i;
        for (uint32_t j = 0; j < count; ++j, --e) acc += static_cast<double>(in[e & mask]) * c[j];
        if (acc < -32768.0)
            acc = -32768.0;
        else if (acc > 32767.0)
            acc = 32767.0;
        out[L * outBlock + i] = static_cast<int16_t>(acc);
    }
}

Ring RandomRing(uint32_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> d(-32768, 32767);
    Ring r(size);
    for (int16_t& s : r) s = static_cast<int16_t>(d(gen));
    return r;
}

std::vector<double> RandomCoefficients(uint32_t count, unsigned seed, double scale) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-scale, scale);
    std::vector<double> c(count);
    for (double& x : c) x = d(gen);
    return c;
}

std::vector<FirIsa> SupportedIsas() {
    std::vector<FirIsa> isas;
    for (FirIsa isa : {FirIsa::Scalar, FirIsa::Sse2, FirIsa::Avx2, FirIsa::Avx512})
        if (FirIsaSupported(isa)) isas.push_back(isa);
    return isas;
}

// What the program plays for a stream: FirConvolve block by block over its ring, from silence.
Ring Played(const Ring& x, const std::vector<double>& c) {
    Ring ring(kRing, 0), out(kRing), played(x.size());
    for (size_t done = 0, block = 0; done < x.size(); done += kBlock, block = (block + 1) % kBlocks) {
        const size_t n = std::min<size_t>(kBlock, x.size() - done);
        std::fill(ring.begin() + kBlock * block, ring.begin() + kBlock * (block + 1), 0);
        std::copy(x.begin() + done, x.begin() + done + n, ring.begin() + kBlock * block);
        FirConvolve(ring.data(), block, out.data(), block, kBlock, kBlocks, c.data(), static_cast<uint32_t>(c.size()));
        std::copy(out.begin() + kBlock * block, out.begin() + kBlock * block + n, played.begin() + done);
    }
    return played;
}

// FastFir over x from silence, in two calls split at `split`, against Played, and the samples it says were
// clipped against those whose sum, truncated, lies outside the 16-bit range; returns the samples summed tap
// by tap.
size_t ExpectFastFirPlays(const Ring& x, const std::vector<double>& c, FirIsa isa, size_t split = 0) {
    const size_t history = c.size();
    Ring padded(history + x.size(), 0), out(x.size());
    std::copy(x.begin(), x.end(), padded.begin() + history);
    const FastFir fir(c.data(), static_cast<uint32_t>(c.size()), isa);
    split = std::min(split, x.size());
    size_t clipped = 0;
    const size_t tapByTap = fir.Filter(padded.data() + history, split, out.data(), &clipped) +
                            fir.Filter(padded.data() + history + split, x.size() - split, out.data() + split, &clipped);
    const Ring expected = Played(x, c);
    const auto differ = std::mismatch(out.begin(), out.end(), expected.begin());
    EXPECT_TRUE(differ.first == out.end()) << "sample " << differ.first - out.begin() << " is " << *differ.first
                                           << ", FirConvolve gives " << *differ.second;
    size_t outside = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        double sum = 0.0;
        for (size_t j = 0; j < c.size(); ++j) sum += padded[history + n - j] * c[j];
        outside += std::trunc(sum) > 32767.0 || std::trunc(sum) < -32768.0;
    }
    EXPECT_EQ(clipped, outside);
    return tapByTap;
}

std::vector<FirIsa> FastFirVariants() {
    std::vector<FirIsa> isas = {FirIsa::Scalar};
    if (FirIsaSupported(FirIsa::Avx2)) isas.push_back(FirIsa::Avx2);
    return isas;
}

// Runs FirConvolve on one block of an 8-block ring of 2048 samples and returns that block.
Ring Convolve(const Ring& in, int32_t inBlock, const std::vector<double>& c, int32_t outBlock = 3) {
    Ring out(kRing, 1234);
    EXPECT_EQ(FirConvolve(in.data(), inBlock, out.data(), outBlock, kBlock, kBlocks, c.data(),
                          static_cast<uint32_t>(c.size())),
              0);
    return Ring(out.begin() + kBlock * outBlock, out.begin() + kBlock * (outBlock + 1));
}

}  // namespace

TEST(FirConvolve, EveryVariantIsBitIdenticalToThePlainLoop) {
    const Ring in = RandomRing(kRing, 42);
    for (FirIsa isa : SupportedIsas()) {
        for (uint32_t count : {0u, 1u, 2u, 7u, 999u, 1000u, 3000u}) {
            // Small coefficients stay in range; large ones reach the clamp.
            for (double scale : {1.0 / 64, 4.0}) {
                const std::vector<double> c = RandomCoefficients(count, count * 3 + 1, scale);
                for (int32_t inBlock : {0, 7}) {
                    SCOPED_TRACE(testing::Message() << FirIsaName(isa) << " count=" << count << " block=" << inBlock
                                                    << " scale=" << scale);
                    Ring expected(kRing, 77), actual(kRing, 77);
                    Reference(in, inBlock, expected, 5, kBlock, kBlocks, c.data(), count);
                    ASSERT_EQ(
                        FirConvolveWith(isa, in.data(), inBlock, actual.data(), 5, kBlock, kBlocks, c.data(), count),
                        0);
                    ASSERT_EQ(0, std::memcmp(expected.data(), actual.data(), kRing * sizeof(int16_t)));
                }
            }
        }
    }
}

TEST(FirConvolve, OddBlockLengthsAndRingsShorterThanTheTaps) {
    // Blocks that leave vector remainders, and taps that wrap the whole ring several times.
    for (FirIsa isa : SupportedIsas()) {
        for (auto [L, B] : {std::pair<uint32_t, int32_t>{1, 1}, {1, 4}, {4, 2}, {64, 1}, {131072, 1}}) {
            const Ring in = RandomRing(L * B, L + B);
            for (uint32_t count : {1u, 5u, 100u, 2048u, 2049u}) {
                SCOPED_TRACE(testing::Message() << FirIsaName(isa) << " L=" << L << " B=" << B << " count=" << count);
                const std::vector<double> c = RandomCoefficients(count, count, 0.01);
                Ring expected(L * B, 9), actual(L * B, 9);
                Reference(in, B - 1, expected, 0, L, B, c.data(), count);
                ASSERT_EQ(FirConvolveWith(isa, in.data(), B - 1, actual.data(), 0, L, B, c.data(), count), 0);
                ASSERT_EQ(expected, actual);
            }
        }
    }
}

// The processor's own account of its instruction sets, read independently of the library's detection.
TEST(FirConvolve, DispatchedVariantIsTheWidestTheProcessorOffers) {
#if defined(__x86_64__)
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
    }
    ASSERT_FALSE(line.empty()) << "no flags line in /proc/cpuinfo";
    const auto has = [&](const char* flag) {
        return (line + " ").find(std::string(" ") + flag + " ") != std::string::npos;
    };
    const FirIsa widest = has("avx512f") ? FirIsa::Avx512 : has("avx2") ? FirIsa::Avx2 : FirIsa::Sse2;
    EXPECT_EQ(FirIsaName(FirIsaSelected()), std::string(FirIsaName(widest)));
#else
    EXPECT_EQ(FirIsaSelected(), FirIsa::Scalar);
#endif
}

TEST(FirConvolve, CountZeroGivesSilenceAndOneCoefficientScales) {
    const Ring in = RandomRing(kRing, 3);
    EXPECT_EQ(Convolve(in, 2, {}), Ring(kBlock, 0));
    EXPECT_EQ(Convolve(in, 2, {1.0}), Ring(in.begin() + 2 * kBlock, in.begin() + 3 * kBlock));

    Ring small(kRing, 0);
    const int16_t samples[] = {3, -3, 1, -1};
    std::copy(std::begin(samples), std::end(samples), small.begin() + kBlock);
    const Ring half = Convolve(small, 1, {0.5});
    EXPECT_EQ(Ring(half.begin(), half.begin() + 4), (Ring{1, -1, 0, 0}));
}

TEST(FirConvolve, ClampsAtTheSampleRangeAndTruncatesTowardZero) {
    Ring in(kRing, 0);
    in[0] = 30000;
    in[1] = 30000;
    in[2] = -30000;
    in[3] = -30000;
    const Ring sum = Convolve(in, 0, {1.0, 1.0});
    EXPECT_EQ(sum[1], 32767);
    EXPECT_EQ(sum[3], -32768);

    // Sums straddling the bounds: the bounds pass, beyond them the clamp, inside truncation.
    in.assign(kRing, 0);
    const double targets[] = {32767.0, -32768.0, 32767.9, -32768.4, 2.9, -2.9, -0.5, 1e300};
    const int16_t expected[] = {32767, -32768, 32767, -32768, 2, -2, 0, 32767};
    for (size_t k = 0; k < std::size(targets); ++k) {
        in[kBlock] = 1;
        const Ring out = Convolve(in, 1, {targets[k]});
        EXPECT_EQ(out[0], expected[k]) << targets[k];
    }
}

TEST(FirConvolve, SumThatIsNotANumberGivesZero) {
    Ring in(kRing, 0);
    in[kBlock] = 5;
    // inf * 0 is NaN in every sample; inf * 5 is +inf and clamps.
    const Ring out = Convolve(in, 1, {std::numeric_limits<double>::infinity()});
    EXPECT_EQ(out[0], 32767);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(Convolve(in, 1, {std::numeric_limits<double>::quiet_NaN()}), Ring(kBlock, 0));
}

TEST(FirConvolve, TapsReachIntoThePreviousBlockAndWrapFromBlockZeroToSeven) {
    Ring in(kRing);
    for (uint32_t n = 0; n < kRing; ++n) in[n] = static_cast<int16_t>(n % 30000);
    const std::vector<double> delay = {0.0, 1.0};
    for (int32_t block = 0; block < kBlocks; ++block) {
        const Ring out = Convolve(in, block, delay);
        const uint32_t previousLast = (block == 0 ? kRing : kBlock * block) - 1;
        EXPECT_EQ(out[0], in[previousLast]) << block;
        EXPECT_EQ(out[kBlock - 1], in[kBlock * block + kBlock - 2]) << block;
    }
    // 1000 taps from block 0 read the last 999 samples of block 7.
    std::vector<double> last(1000, 0.0);
    last[999] = 1.0;
    const Ring out = Convolve(in, 0, last);
    EXPECT_EQ(out[0], in[kRing - 999]);
    EXPECT_EQ(out[998], in[kRing - 1]);
    EXPECT_EQ(out[999], in[0]);
}

TEST(FirConvolve, FirstBlockAfterAStartReadsZerosBeforeIt) {
    Ring in(kRing, 0);
    for (uint32_t i = 0; i < kBlock; ++i) in[i] = 100;
    const Ring out = Convolve(in, 0, std::vector<double>(10, 1.0));
    EXPECT_EQ(out[0], 100);
    EXPECT_EQ(out[4], 500);
    EXPECT_EQ(out[9], 1000);
    EXPECT_EQ(out[2047], 1000);
}

TEST(FirConvolve, BadGeometryIsRefusedWithoutWriting) {
    Ring in(kRing, 1), out(kRing, 7);
    const double c[] = {1.0};
    EXPECT_EQ(FirConvolve(in.data(), 0, out.data(), 8, kBlock, kBlocks, c, 1), 1);
    EXPECT_EQ(FirConvolve(in.data(), 0, out.data(), -1, kBlock, kBlocks, c, 1), 1);
    EXPECT_EQ(FirConvolve(in.data(), 0, out.data(), 0, 3, 2, c, 1), 1);
    EXPECT_EQ(FirConvolve(in.data(), 0, out.data(), 0, 0, 8, c, 1), 1);
    EXPECT_EQ(FirConvolve(in.data(), 0, out.data(), 0, kBlock, 0, c, 1), 1);
    EXPECT_EQ(out, Ring(kRing, 7));
    // An input block outside the ring still reads inside it, modulo the ring.
    EXPECT_EQ(FirConvolve(in.data(), -9, out.data(), 0, kBlock, kBlocks, c, 1), 0);
    EXPECT_EQ(FirConvolve(in.data(), 2147483647, out.data(), 0, kBlock, kBlocks, c, 1), 0);
    EXPECT_EQ(out[0], 1);
}

TEST(FastFir, NoiseComesOutAsFirConvolvePlaysItAndAlmostNeverNeedsTheTaps) {
    const Ring x = RandomRing(50000, 8);
    for (FirIsa isa : FastFirVariants()) {
        for (uint32_t count : {1u, 2u, 7u, 100u, 999u, 1000u, 1025u}) {
            SCOPED_TRACE(testing::Message() << FirIsaName(isa) << " count=" << count);
            const std::vector<double> c = RandomCoefficients(count, count, 1.0 / std::sqrt(count));
            EXPECT_LE(ExpectFastFirPlays(x, c, isa, 12345), x.size() / 1000);
        }
    }
}

// Where the outputs sit on the steps of truncation and clamping the transform cannot decide; the taps
// that could overflow or are not finite are summed tap by tap throughout.
TEST(FastFir, StructuredSignalsAndExtremeTapsAreExactToo) {
    Ring limits(20000, 32767);
    std::fill(limits.begin() + 9000, limits.end(), -32768);
    Ring square(30000);
    for (size_t n = 0; n < square.size(); ++n) square[n] = (n / 3000) % 2 ? -32768 : 32767;
    // The in-order sum of 1000 equal products ends below an integer the true sum passes by 4e-10, more
    // than the transform's own error: only its bound on that sum's rounding keeps the sample right.
    const double rounded = 0x1.4f66f8ea9de47p-11;
    Ring burst(40000, 0);
    std::fill(burst.begin() + 20000, burst.begin() + 21000, 32767);
    const double product = rounded * 32767000.0, below = std::fma(rounded, 32767000.0, -product);
    ASSERT_GT((product - 20962.0) + below, 0.0) << "the true sum reaches 20962";
    ASSERT_EQ(FirConvolveSample(burst.data() + 20999, std::vector<double>(1000, rounded).data(), 1000), 20961);

    std::vector<double> echo(1000, 0.0);
    echo[0] = 1.0;
    echo[999] = 0.5;
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> noiseTaps = RandomCoefficients(1000, 5, 0.05);
    auto times = [&](double k) {
        std::vector<double> c = noiseTaps;
        for (double& v : c) v *= k;
        return c;
    };
    struct Case {
        const char* name;
        std::vector<double> c;
        Ring x;
    } cases[] = {
        {"1.0", {1.0}, RandomRing(20000, 1)},
        {"0.5 0.5", {0.5, 0.5}, RandomRing(20000, 2)},
        {"echo", echo, RandomRing(20000, 3)},
        {"silence", noiseTaps, Ring(20000, 0)},
        {"clamp limits", {0.5, 0.5}, limits},
        {"1e-3 square", std::vector<double>(1000, 1e-3), square},
        {"burst", std::vector<double>(1000, rounded), burst},
        {"tiny", times(1e-300), RandomRing(20000, 4)},
        {"huge", times(1e300), RandomRing(20000, 5)},
        {"overflowing", times(1e306), RandomRing(5000, 6)},
        {"infinite", {inf, 1.0}, RandomRing(5000, 7)},
        {"not a number", {1.0, std::nan("")}, RandomRing(5000, 8)},
        {"none", {}, RandomRing(5000, 9)},
        {"zeros", std::vector<double>(300, 0.0), RandomRing(5000, 10)},
    };
    for (FirIsa isa : FastFirVariants()) {
        for (const Case& k : cases) {
            SCOPED_TRACE(testing::Message() << FirIsaName(isa) << " " << k.name);
            const size_t tapByTap = ExpectFastFirPlays(k.x, k.c, isa, 7000);
            if (std::string(k.name) == "silence") {
                EXPECT_EQ(tapByTap, 0u);
            }
        }
    }
}

// The slow label: random filters of 1 to 1000 taps on noise, tones and full-scale bursts, some loud enough
// to clip.
TEST(FastFir, DISABLED_AHundredMillionSamplesComeOutAsFirConvolvePlaysThem) {
    std::mt19937 gen(19);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    size_t compared = 0;
    for (unsigned k = 0; compared < 100000000; ++k) {
        const uint32_t count = k == 0 ? 1 : k == 1 ? 1000 : 1 + static_cast<uint32_t>(unit(gen) * 1000);
        const double gain = 0.2 + 3.0 * unit(gen);
        const std::vector<double> c = RandomCoefficients(count, 1000 + k, gain / std::sqrt(count));
        Ring x = RandomRing(2500000, k);
        if (k % 3 == 1) {
            const double f[3] = {unit(gen) * 0.5, unit(gen) * 0.05, unit(gen) * 0.005};
            for (size_t n = 0; n < x.size(); ++n)
                x[n] = static_cast<int16_t>(
                    std::lround(10000 * (std::sin(2 * M_PI * f[0] * n) + std::sin(2 * M_PI * f[1] * n) +
                                         std::sin(2 * M_PI * f[2] * n + 1))));
        } else if (k % 3 == 2) {
            for (size_t n = 0; n < x.size(); n += 20000) std::fill(x.begin() + n, x.begin() + n + 8000, 0);
        }
        const FirIsa isa = k % 4 == 3 ? FirIsa::Scalar : FirIsaSelected();
        SCOPED_TRACE(testing::Message() << FirIsaName(isa) << " case " << k << ", " << count << " taps");
        ExpectFastFirPlays(x, c, isa, x.size() / 2 + k);
        compared += x.size();
    }
}
