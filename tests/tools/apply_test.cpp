// zoriq1-filter apply: against the program's own output for the same input, with converted input, and
// with every kind of input it must refuse.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <QString>
#include <cmath>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <vector>

#include "dsp/filter_bank.h"
#include "dsp/fir_file.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"
#include "tests/support/sim_device.h"
#include "tool_run.h"
#include "tools/filter_files.h"

namespace {

void writeSound(const std::string& path, int format, int rate, int channels, const std::vector<int16_t>& frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(sf_writef_short(f, frames.data(), static_cast<sf_count_t>(frames.size()) / channels),
              static_cast<sf_count_t>(frames.size()) / channels);
    sf_close(f);
}

// The samples of a file in the program's WAV layout (46-byte header).
std::vector<int16_t> wavSamples(const std::string& path) {
    const std::string bytes = readAll(path);
    if (bytes.size() < 46) return {};
    std::vector<int16_t> samples((bytes.size() - 46) / 2);
    std::memcpy(samples.data(), bytes.data() + 46, samples.size() * 2);
    return samples;
}

// What the program writes to its WAV file while the runner plays the blocks on the simulated devices.
std::string programWav(void (*start)(CRunnerWindow*, int, QString), int (*stop)(),
                       const std::vector<zqtest::Block>& input, const std::string& path) {
    SimWaveBackend sim;
    zqtest::MessageBoxRecorder boxes;
    zqtest::FakeRunnerWindow window;
    start(&window, 1, QString::fromStdString(path));
    zqtest::SimStream stream(sim);
    for (const zqtest::Block& b : input) EXPECT_TRUE(stream.Feed(b));
    stream.Drain();
    EXPECT_EQ(stop(), 0);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join(" | ").toStdString();
    return readAll(path);
}

// The tool's temporary files for outputs named by temp().
int tempFilesIn(const std::string& dir) {
    const std::string prefix = "." + temp("").substr(dir.size());
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) n += std::string(e->d_name).find(prefix) == 0;
        closedir(d);
    }
    return n;
}

}  // namespace

// The same 16-bit mono 11025 Hz input through a 1000-tap filter, from a bank and from a .fir file, gives
// the very file the program writes while it plays it; loud input and large taps reach the clamp.
TEST(FilterApply, OutputIsTheProgramsOwnWavFileByteForByte) {
    const std::vector<zqtest::Block> input = zqtest::RandomBlocks(12, 21, 20000);
    const std::vector<double> h = zqtest::RandomTaps(1000, 22, 0.1);
    const std::string bank = temp("apply.fib"), fir = temp("apply.fir"), wav = temp("apply_in.wav"),
                      flac = temp("apply_in.flac");
    std::string error;
    ASSERT_TRUE(WriteBank(bank, {{"Noise taps", zqtest::RandomTaps(5, 1, 1.0)}, {"Random 1000", h}}, error));
    ASSERT_TRUE(WriteFirFile(fir, " Random 1000", h, error));
    writeSound(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, zqtest::Concat(input));
    writeSound(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 11025, 1, zqtest::Concat(input));

    // As the function windows fill the coefficients before they start their runner.
    char name[FILTER_NAME_SIZE];
    int count = 0;
    ASSERT_EQ(FilterBankReadFilterAt(bank, 1, name, &count), FILTER_BANK_OK);
    const std::string fromBank = programWav(FirBankStart, FirBankStop, input, temp("program_bank.wav"));
    char description[FIR_DESCRIPTION_SIZE];
    ASSERT_EQ(FirFileRead(fir.c_str(), description, &count), FIR_FILE_OK);
    const std::string fromUser = programWav(UserFirStart, UserFirStop, input, temp("program_user.wav"));
    ASSERT_EQ(fromBank.size(), 46u + 4096 * input.size());
    ASSERT_EQ(fromUser, fromBank);
    const std::vector<int16_t> played = wavSamples(temp("program_bank.wav"));
    EXPECT_GT(std::count(played.begin(), played.end(), int16_t{32767}), 0) << "the clamp is never reached";

    const std::string out = temp("apply_out.wav");
    std::string err, said;
    // A file in the program's format needs no conversion: the one line says how many sums the FFT left.
    ASSERT_EQ(tool("apply " + bank + " --index 1 " + wav + " " + out, &err, &said), 0) << err;
    EXPECT_EQ(said.rfind("24576 samples, ", 0), 0u) << said;
    EXPECT_EQ(said.find('\n'), std::string::npos) << said;
    EXPECT_TRUE(readAll(out) == fromBank);
    ASSERT_EQ(tool("apply " + fir + " --jobs 3 " + flac + " " + out, &err, &said), 0) << err;
    EXPECT_EQ(said.rfind("24576 samples, ", 0), 0u) << said;
    EXPECT_TRUE(readAll(out) == fromBank);
    for (const std::string& f : {bank, fir, wav, flac, out, temp("program_bank.wav"), temp("program_user.wav")})
        std::remove(f.c_str());
}

// A long input goes through in chunks, each in parts on several threads: the taps reach back across both.
TEST(FilterApply, LongInputOnSeveralThreadsIsTheSameSum) {
    const std::vector<int16_t> x = zqtest::Concat(zqtest::RandomBlocks(150, 31, 20000));
    const std::vector<double> h = zqtest::RandomTaps(100, 32, 0.05);
    const std::string fir = temp("long.fir"), in = temp("long.wav"), out = temp("long_out.wav");
    std::string error;
    ASSERT_TRUE(WriteFirFile(fir, " Random 100", h, error));
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, x);
    std::string err;
    ASSERT_EQ(tool("apply " + fir + " --jobs 2 " + in + " " + out, &err), 0) << err;
    EXPECT_TRUE(wavSamples(out) == zqtest::ReferenceFir(x, h));
    for (const std::string& f : {fir, in, out}) std::remove(f.c_str());
}

// 44.1 kHz stereo is averaged, resampled and rounded first: within 2 LSB of the filter applied to the same
// sound taken at 11025 Hz, away from the edges where the resampler's filter meets the abrupt start and end.
TEST(FilterApply, StereoAt44100ComesOutAt11025CloseToTheReference) {
    auto left = [](double t) { return 8000 * std::sin(2 * M_PI * 440 * t); };
    auto right = [](double t) { return 6000 * std::sin(2 * M_PI * 1250 * t + 0.3) + 3000 * std::sin(2 * M_PI * 3000 * t); };
    const int seconds = 3;
    std::vector<int16_t> stereo;
    for (int n = 0; n < 44100 * seconds; ++n) {
        stereo.push_back(static_cast<int16_t>(std::lround(left(n / 44100.0))));
        stereo.push_back(static_cast<int16_t>(std::lround(right(n / 44100.0))));
    }
    std::vector<int16_t> mono;
    for (int n = 0; n < 11025 * seconds; ++n)
        mono.push_back(static_cast<int16_t>(std::lround((left(n / 11025.0) + right(n / 11025.0)) / 2)));
    std::vector<BankFilter> bank;
    std::string error;
    ASSERT_TRUE(ReadBank(ZQ_DEFAULT_BANK, bank, error)) << error;
    const std::vector<int16_t> expected = zqtest::ReferenceFir(mono, bank[4].coefficients);

    const std::string in = temp("stereo.wav"), out = temp("stereo_out.wav");
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, stereo);
    std::string err, said;
    ASSERT_EQ(tool("apply " + std::string(ZQ_DEFAULT_BANK) + " --index 4 " + in + " " + out, &err, &said), 0) << err;
    EXPECT_EQ(said.substr(0, said.find('\n')),
              "converted " + in + ": 2 channels averaged, resampled from 44100 Hz to 11025 Hz");
    const std::vector<int16_t> got = wavSamples(out);
    ASSERT_EQ(got.size(), expected.size());
    int worst = 0;
    for (size_t n = 1100; n + 1100 < got.size(); ++n) worst = std::max(worst, std::abs(got[n] - expected[n]));
    EXPECT_LE(worst, 2);

    std::remove(in.c_str());
    std::remove(out.c_str());
}

// Each refusal: one line, status 1, an existing output untouched and no temporary file left behind.
TEST(FilterApply, BadInputIsRefusedInOneLineAndLosesNothing) {
    const std::string dir = testing::TempDir();
    const std::string good = temp("good.wav"), out = temp("kept.wav"), fir = temp("good.fir");
    writeSound(good, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, std::vector<int16_t>(50000, 1000));
    std::string error;
    ASSERT_TRUE(WriteFirFile(fir, " Half", {0.5}, error));

    const std::string empty = temp("empty.wav"), text = temp("text.wav"), silent = temp("silent.wav"),
                      huge = temp("huge.wav"), cut = temp("cut.flac"), tooMany = temp("many.fir"), crowded = temp("crowded.fib"),
                      longTaps = temp("long.fib");
    zqtest::WriteText(empty, "");
    zqtest::WriteText(text, "RIFF? no, just text\n");
    writeSound(silent, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, {});
    writeSound(cut, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 11025, 1, zqtest::Concat(zqtest::RandomBlocks(40, 3)));
    ASSERT_EQ(truncate(cut.c_str(), static_cast<off_t>(readAll(cut).size() / 2)), 0);
    zqtest::WriteText(tooMany, std::string(";\n") + [] { std::string s; for (int i = 0; i < 1001; ++i) s += "0.001\n"; return s; }());
    zqtest::WriteBank(crowded, std::vector<zqtest::BankEntry>(101, {"f", {1.0}}));
    zqtest::WriteBank(longTaps, {{"fine", {1.0}}, {"long", std::vector<double>(1001, 0.0)}});
    {
        // 2^31 unsigned 8-bit samples at 11025 Hz, sparse on disk: twice that as 16-bit output passes 4 GiB.
        std::string header = "RIFF";
        zqtest::AppendLe32(header, static_cast<int32_t>(36u + 0x80000000u));
        header += "WAVEfmt ";
        zqtest::AppendLe32(header, 16);
        header += std::string("\x01\x00\x01\x00", 4);
        zqtest::AppendLe32(header, 11025);
        zqtest::AppendLe32(header, 11025);
        header += std::string("\x01\x00\x08\x00", 4);
        header += "data";
        zqtest::AppendLe32(header, static_cast<int32_t>(0x80000000u));
        zqtest::WriteText(huge, header);
        ASSERT_EQ(truncate(huge.c_str(), 44 + 0x80000000ll), 0);
    }
    struct Case {
        std::string args, says, prefix = {};
    } cases[] = {
        {fir + " " + temp("none.wav") + " " + out, "No such file or directory"},
        {fir + " " + dir + " " + out, "is a directory"},
        {fir + " " + empty + " " + out, empty + " is empty"},
        {fir + " " + text + " " + out, "not a sound file"},
        {fir + " " + silent + " " + out, "holds no samples"},
        {fir + " " + huge + " " + out, "4 GiB"},
        {fir + " " + cut + " " + out, " after "},
        {temp("none.fir") + " " + good + " " + out, "cannot be opened"},
        {tooMany + " " + good + " " + out, "more than 1000 values"},
        {crowded + " --index 0 " + good + " " + out, "more than 100 filters"},
        {longTaps + " --index 1 " + good + " " + out, "more than 1000 coefficients"},
        {longTaps + " --index 2 " + good + " " + out, "has no filter 2"},
        {longTaps + " " + good + " " + out, "--index"},
        {fir + " --index 0 " + good + " " + out, "--index"},
        {fir + " " + good + " " + good, "both input and output"},
        {fir + " --jobs 0 " + good + " " + out, "--jobs"},
        {fir + " " + good + " " + dir + "no/such/dir/out.wav", "No such file or directory"},
        {fir + " " + good + " " + out, "File too large", "ulimit -f 40;"},  // fails part way through the output
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        zqtest::WriteText(out, "an earlier result");
        std::string err;
        EXPECT_EQ(tool("apply " + c.args, &err, nullptr, c.prefix), 1);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        EXPECT_EQ(readAll(out), "an earlier result");
        EXPECT_EQ(tempFilesIn(dir), 0);
    }
    // And the same output, written when all is well.
    EXPECT_EQ(tool("apply " + fir + " " + good + " " + out), 0);
    EXPECT_EQ(wavSamples(out), std::vector<int16_t>(50000, 500));
    EXPECT_EQ(tempFilesIn(dir), 0);
    for (const std::string& f : {good, out, fir, empty, text, silent, huge, cut, tooMany, crowded, longTaps})
        std::remove(f.c_str());
}
