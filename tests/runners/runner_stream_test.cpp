// What the runners put out, block after block, through the simulated devices.
#include <gtest/gtest.h>

#include "dsp/fft.h"
#include "dsp/filter_bank.h"
#include "dsp/fir_file.h"
#include "engine/wave_engine.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"

using namespace zqtest;

namespace {

void SetBank(const std::vector<double>& h) {
    std::copy(h.begin(), h.end(), BankCoefficients);
    BankCoefficientCount = static_cast<int32_t>(h.size());
}

void SetUser(const std::vector<double>& h) {
    std::copy(h.begin(), h.end(), UserCoefficients);
    UserCoefficientCount = static_cast<int32_t>(h.size());
}

struct RunnerKind {
    const char* name;
    void (*start)(CRunnerWindow*, int, QString);
    int (*stop)();
    int (*block)(int, int, int);
    CRunnerWindow** window;
};

const RunnerKind kDirect{"direct", DirectMappingStart, DirectMappingStop, DirectMappingBlock, &DirectMappingWindow};
const RunnerKind kBank{"bank", FirBankStart, FirBankStop, FirBankBlock, &FirBankWindow};
const RunnerKind kUser{"user", UserFirStart, UserFirStop, UserFirBlock, &UserFirWindow};

// Runs the blocks through a started runner and returns everything that was played.
std::vector<int16_t> RunThrough(const RunnerKind& kind, const std::vector<Block>& input) {
    SimWaveBackend sim;
    MessageBoxRecorder boxes;
    FakeRunnerWindow window;
    kind.start(&window, 0, QString());
    EXPECT_EQ(*kind.window, &window);
    SimStream stream(sim);
    for (const Block& b : input) EXPECT_TRUE(stream.Feed(b));
    stream.Drain();
    std::vector<int16_t> played = sim.played();
    EXPECT_EQ(kind.stop(), 0);
    EXPECT_EQ(*kind.window, nullptr);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join(" | ").toStdString();
    EXPECT_EQ(window.closeRequests, 0);
    return played;
}

void ExpectPrefixEqual(const std::vector<int16_t>& played, const std::vector<int16_t>& expected) {
    ASSERT_GE(played.size(), 2048u * 10);  // enough blocks to cross the end of the ring
    ASSERT_LE(played.size(), expected.size());
    for (std::size_t n = 0; n < played.size(); ++n)
        ASSERT_EQ(played[n], expected[n]) << "sample " << n << " (block " << n / 2048 << ")";
}

}  // namespace

TEST(RunnerStream, DirectMappingPlaysTheInputBitForBit) {
    const std::vector<Block> input = RandomBlocks(20, 1);
    ExpectPrefixEqual(RunThrough(kDirect, input), Concat(input));
}

TEST(RunnerStream, BankFilterMatchesTheConvolutionAcrossBlockBoundaries) {
    const std::vector<double> h = RandomTaps(1000, 2, 0.01);
    SetBank(h);
    const std::vector<Block> input = RandomBlocks(20, 3, 20000);
    ExpectPrefixEqual(RunThrough(kBank, input), ReferenceFir(Concat(input), h));
}

TEST(RunnerStream, UserFilterMatchesTheConvolutionAcrossBlockBoundaries) {
    const std::vector<double> h = RandomTaps(37, 4, 0.2);
    SetUser(h);
    const std::vector<Block> input = RandomBlocks(20, 5);
    ExpectPrefixEqual(RunThrough(kUser, input), ReferenceFir(Concat(input), h));
}

TEST(RunnerStream, DelayByOneSampleStartsFromSilenceAndCarriesOverEachBlock) {
    for (const RunnerKind* kind : {&kBank, &kUser}) {
        SCOPED_TRACE(kind->name);
        SetBank({0.0, 1.0});
        SetUser({0.0, 1.0});
        const std::vector<Block> input = RandomBlocks(20, 6);
        const std::vector<int16_t> played = RunThrough(*kind, input);
        ASSERT_GE(played.size(), 2048u * 10);
        EXPECT_EQ(played[0], 0);
        for (std::size_t k = 1; k < played.size() / 2048; ++k)
            ASSERT_EQ(played[2048 * k], input[k - 1][2047]) << "block " << k;
        ExpectPrefixEqual(played, ReferenceFir(Concat(input), {0.0, 1.0}));
    }
}

TEST(RunnerStream, NoCoefficientsGiveSilenceAndAnOutOfRangeCountIsKeptWithinTheArray) {
    const std::vector<Block> input = RandomBlocks(10, 7);
    SetBank({});
    for (int16_t s : RunThrough(kBank, input)) ASSERT_EQ(s, 0);
    // A count the reader would never leave behind must not read past the array.
    BankCoefficientCount = -5;
    for (int16_t s : RunThrough(kBank, input)) ASSERT_EQ(s, 0);
    // Too large a count uses the whole array and nothing beyond it.
    const std::vector<double> taps = RandomTaps(FIR_MAX_COEFFICIENTS, 8, 0.002);
    SetBank(taps);
    BankCoefficientCount = 5000;
    ExpectPrefixEqual(RunThrough(kBank, input), ReferenceFir(Concat(input), taps));
    BankCoefficientCount = 0;
}

// Records every spectrum frame it is fed.
struct RecordingSink : CSpectrumSink {
    std::vector<std::vector<double>> re, im;
    void UpdateSpectrum(const double* r, const double* i, int n) override {
        re.emplace_back(r, r + n);
        im.emplace_back(i, i + n);
    }
};

// Frame `frame` of the sink is the transform of exactly this block.
void ExpectFrameOf(const RecordingSink& sink, std::size_t frame, const Block& block, const char* what) {
    ASSERT_LT(frame, sink.re.size()) << what;
    std::vector<double> samples(block.begin(), block.end()), re(block.size()), im(block.size());
    Fft(static_cast<uint32_t>(block.size()), 0, samples.data(), nullptr, re.data(), im.data());
    EXPECT_EQ(sink.re[frame], re) << what;
    EXPECT_EQ(sink.im[frame], im) << what;
}

TEST(RunnerStream, SpectrumSinksAreReadAtEveryBlockAndFedTheirOwnBlock) {
    SimWaveBackend sim;
    MessageBoxRecorder boxes;
    FakeRunnerWindow window;
    SetUser({0.5});
    UserFirStart(&window, 0, QString());
    SimStream stream(sim);
    const std::vector<Block> input = RandomBlocks(8, 8);

    const long before = RunnerSpectrumFrames();
    stream.Feed(input[0]);
    stream.Feed(input[1]);
    EXPECT_EQ(RunnerSpectrumFrames(), before) << "a transform without a spectrum sink";

    RecordingSink in, out;
    window.out = &out;
    stream.Feed(input[2]);
    window.in = &in;
    stream.Feed(input[3]);
    window.out = nullptr;
    stream.Feed(input[4]);
    window.in = nullptr;
    stream.Feed(input[5]);
    EXPECT_EQ(RunnerSpectrumFrames(), before + 4);
    EXPECT_EQ(UserFirStop(), 0);
    EXPECT_TRUE(boxes.texts.isEmpty());

    // The input sink gets the blocks as captured, the output sink as filtered (halved, truncated).
    const auto halved = [](Block b) {
        for (int16_t& s : b) s = static_cast<int16_t>(s * 0.5);
        return b;
    };
    ASSERT_EQ(in.re.size(), 2u);
    ASSERT_EQ(out.re.size(), 2u);
    ExpectFrameOf(in, 0, input[3], "input, block 3");
    ExpectFrameOf(in, 1, input[4], "input, block 4");
    ExpectFrameOf(out, 0, halved(input[2]), "output, block 2");
    ExpectFrameOf(out, 1, halved(input[3]), "output, block 3");
}
