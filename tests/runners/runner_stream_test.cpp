// What the runners put out, block after block, through the simulated devices.
#include <gtest/gtest.h>

#include "dsp/filter_bank.h"
#include "dsp/fir_file.h"
#include "engine/wave_engine.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"
#include "ui/spectrum_display_dlg.h"

using namespace zqtest;

namespace {

void SetBank(const std::vector<double>& h)
{
    std::copy(h.begin(), h.end(), BankCoefficients);
    BankCoefficientCount = static_cast<int32_t>(h.size());
}

void SetUser(const std::vector<double>& h)
{
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
std::vector<int16_t> RunThrough(const RunnerKind& kind, const std::vector<Block>& input)
{
    SimWaveBackend sim;
    MessageBoxRecorder boxes;
    FakeRunnerWindow window;
    kind.start(&window, 0, QString());
    EXPECT_EQ(*kind.window, &window);
    SimStream stream(sim);
    for (const Block& b : input)
        EXPECT_TRUE(stream.Feed(b));
    stream.Drain();
    std::vector<int16_t> played = sim.played();
    EXPECT_EQ(kind.stop(), 0);
    EXPECT_EQ(*kind.window, nullptr);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join(" | ").toStdString();
    EXPECT_EQ(window.closeRequests, 0);
    return played;
}

void ExpectPrefixEqual(const std::vector<int16_t>& played, const std::vector<int16_t>& expected)
{
    ASSERT_GE(played.size(), 2048u * 10);  // enough blocks to cross the end of the ring
    ASSERT_LE(played.size(), expected.size());
    for (std::size_t n = 0; n < played.size(); ++n)
        ASSERT_EQ(played[n], expected[n]) << "sample " << n << " (block " << n / 2048 << ")";
}

}  // namespace

TEST(RunnerStream, DirectMappingPlaysTheInputBitForBit)
{
    const std::vector<Block> input = RandomBlocks(20, 1);
    ExpectPrefixEqual(RunThrough(kDirect, input), Concat(input));
}

TEST(RunnerStream, BankFilterMatchesTheConvolutionAcrossBlockBoundaries)
{
    const std::vector<double> h = RandomTaps(1000, 2, 0.01);
    SetBank(h);
    const std::vector<Block> input = RandomBlocks(20, 3, 20000);
    ExpectPrefixEqual(RunThrough(kBank, input), ReferenceFir(Concat(input), h));
}

TEST(RunnerStream, UserFilterMatchesTheConvolutionAcrossBlockBoundaries)
{
    const std::vector<double> h = RandomTaps(37, 4, 0.2);
    SetUser(h);
    const std::vector<Block> input = RandomBlocks(20, 5);
    ExpectPrefixEqual(RunThrough(kUser, input), ReferenceFir(Concat(input), h));
}

TEST(RunnerStream, DelayByOneSampleStartsFromSilenceAndCarriesOverEachBlock)
{
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

TEST(RunnerStream, NoCoefficientsGiveSilenceAndAnOutOfRangeCountIsKeptWithinTheArray)
{
    const std::vector<Block> input = RandomBlocks(10, 7);
    SetBank({});
    for (int16_t s : RunThrough(kBank, input))
        ASSERT_EQ(s, 0);
    // A count the reader would never leave behind must not read past the array.
    BankCoefficientCount = -5;
    for (int16_t s : RunThrough(kBank, input))
        ASSERT_EQ(s, 0);
    BankCoefficientCount = 5000;
    std::fill(BankCoefficients, BankCoefficients + FIR_MAX_COEFFICIENTS, 0.0);
    for (int16_t s : RunThrough(kBank, input))
        ASSERT_EQ(s, 0);
    BankCoefficientCount = 0;
}

TEST(RunnerStream, SpectrumLinksAreReadAtEveryBlockAndNoTransformWithoutThem)
{
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
    EXPECT_EQ(RunnerSpectrumFrames(), before) << "a transform without a spectrum window";

    auto* in = new CSpectrumDisplayDlg(QStringLiteral("in"), 11025, 2048, &window);
    auto* out = new CSpectrumDisplayDlg(QStringLiteral("out"), 11025, 2048, &window);
    window.out = out;
    stream.Feed(input[2]);
    EXPECT_EQ(RunnerSpectrumFrames(), before + 1);
    EXPECT_GT(out->m_nPoints, 0);
    EXPECT_EQ(in->m_nPoints, 0);

    window.in = in;
    stream.Feed(input[3]);
    EXPECT_EQ(RunnerSpectrumFrames(), before + 3);
    EXPECT_GT(in->m_nPoints, 0);

    window.out = nullptr;
    out->DestroyWindow();
    stream.Feed(input[4]);
    EXPECT_EQ(RunnerSpectrumFrames(), before + 4);

    window.in = nullptr;
    in->DestroyWindow();
    stream.Feed(input[5]);
    EXPECT_EQ(RunnerSpectrumFrames(), before + 4);
    EXPECT_EQ(UserFirStop(), 0);
    EXPECT_TRUE(boxes.texts.isEmpty());
}
