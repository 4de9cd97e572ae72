// zoriq1-filter apply: against the program's own output for the same input, in each output format, with
// converted input, with every kind of input it must refuse, and with the output and the signals of its caller.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QString>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "dsp/filter_bank.h"
#include "dsp/fir_file.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"
#include "tests/support/sim_device.h"
#include "tool_run.h"
#include "tools/apply.h"
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

// The samples of any file libsndfile reads, in 16-bit units, with its format.
std::vector<double> soundSamples(const std::string& path, SF_INFO& info) {
    info = SF_INFO{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<double> samples(static_cast<size_t>(info.frames * info.channels));
    samples.resize(static_cast<size_t>(sf_read_double(f, samples.data(), static_cast<sf_count_t>(samples.size()))));
    sf_close(f);
    for (double& v : samples) v *= 32768;
    return samples;
}

// The shell prefix that makes the tool's call `call` fail (tests/tools/failing_calls.cpp).
std::string failing(const std::string& call) {
    return "ZQ_FAIL=" + call + " LD_PRELOAD=" ZQ_FAILING_CALLS " ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0";
}

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// The input halved by ApplyFilter in this process: "" when all went well, else the error.
std::string halve(const std::string& input, const std::string& output, uint64_t maxSamples = 0) {
    static const double half = 0.5;
    ApplyJob job;
    job.input = input;
    job.output = output;
    job.coefficients = &half;
    job.count = 1;
    job.maxSamples = maxSamples;
    std::string error;
    return ApplyFilter(job, error) ? "" : error;
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

    // Clipped: the sum, truncated, lies outside the 16-bit range (a sum in [32767, 32768) is not clipped).
    const std::vector<int16_t> x = zqtest::Concat(input);
    int clipped = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        double sum = 0;
        for (size_t j = 0; j < h.size() && j <= n; ++j) sum += x[n - j] * h[j];
        clipped += std::trunc(sum) > 32767 || std::trunc(sum) < -32768;
    }
    ASSERT_GT(clipped, 0);
    const std::string clippedSaid = ", " + std::to_string(clipped) + " clipped";

    const std::string out = temp("apply_out.wav");
    std::string err, said;
    // A file in the program's format needs no conversion: the one line says how many sums the FFT left and
    // how many samples were clipped.
    ASSERT_EQ(tool("apply " + bank + " --index 1 " + wav + " " + out, &err, &said), 0) << err;
    EXPECT_EQ(said.rfind("24576 samples, ", 0), 0u) << said;
    EXPECT_EQ(said.find('\n'), std::string::npos) << said;
    EXPECT_TRUE(said.size() > clippedSaid.size() && said.substr(said.size() - clippedSaid.size()) == clippedSaid)
        << said;
    EXPECT_TRUE(readAll(out) == fromBank);
    ASSERT_EQ(tool("apply " + fir + " --jobs 3 " + flac + " " + out, &err, &said), 0) << err;
    EXPECT_EQ(said.rfind("24576 samples, ", 0), 0u) << said;
    EXPECT_TRUE(said.size() > clippedSaid.size() && said.substr(said.size() - clippedSaid.size()) == clippedSaid)
        << said;
    EXPECT_TRUE(readAll(out) == fromBank);

    // The output's name chooses its format: the same samples in FLAC and AIFF, and close to them in Ogg Vorbis.
    for (auto [kind, container] :
         {std::pair{"flac", SF_FORMAT_FLAC}, {"aiff", SF_FORMAT_AIFF}, {"OGG", SF_FORMAT_OGG}}) {
        SCOPED_TRACE(kind);
        const std::string other = temp(std::string("apply_out.") + kind);
        ASSERT_EQ(tool("apply " + fir + " " + wav + " " + other, &err), 0) << err;
        SF_INFO info;
        const std::vector<double> got = soundSamples(other, info);
        std::remove(other.c_str());
        EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, container);
        EXPECT_EQ(info.samplerate, 11025);
        EXPECT_EQ(info.channels, 1);
        ASSERT_EQ(got.size(), played.size());
        if (container != SF_FORMAT_OGG) {
            EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), played.begin()));
            continue;
        }
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_VORBIS);
        // Clamped noise is the hardest sound to code; a sound out of place would be as loud as its error.
        double error = 0, signal = 0;
        for (size_t n = 0; n < got.size(); ++n) {
            error += std::pow(got[n] - played[n], 2.0);
            signal += std::pow(played[n], 2.0);
        }
        EXPECT_LT(error, signal / 10) << "the error is less than 10 dB below the sound";
    }
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
    auto right = [](double t) {
        return 6000 * std::sin(2 * M_PI * 1250 * t + 0.3) + 3000 * std::sin(2 * M_PI * 3000 * t);
    };
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
    const std::string good = temp("good.wav"), out = temp("kept.wav"), fir = temp("good.fir"),
                      noisy = temp("noisy.wav"), outFlac = temp("kept.flac"), pipe = temp("pipe.wav");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    writeSound(good, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, std::vector<int16_t>(50000, 1000));
    writeSound(noisy, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, zqtest::Concat(zqtest::RandomBlocks(40, 4)));
    std::string error;
    ASSERT_TRUE(WriteFirFile(fir, " Half", {0.5}, error));

    const std::string empty = temp("empty.wav"), text = temp("text.wav"), silent = temp("silent.wav"),
                      huge = temp("huge.wav"), cut = temp("cut.flac"), tooMany = temp("many.fir"),
                      crowded = temp("crowded.fib"), longTaps = temp("long.fib"), cutWav = temp("cut.wav"),
                      cutAiff = temp("cut.aiff"), cutStereo = temp("cut_stereo.wav");
    // Cut part way: libsndfile counts only what is there.
    writeSound(cutWav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, std::vector<int16_t>(33075, 7));
    ASSERT_EQ(truncate(cutWav.c_str(), 44 + 2 * 14978), 0);
    writeSound(cutAiff, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 11025, 1, std::vector<int16_t>(33075, 7));
    ASSERT_EQ(truncate(cutAiff.c_str(), 30000), 0);
    writeSound(cutStereo, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, std::vector<int16_t>(2 * 33075, 7));
    ASSERT_EQ(truncate(cutStereo.c_str(), 44 + 4 * 12489), 0);
    zqtest::WriteText(empty, "");
    zqtest::WriteText(text, "RIFF? no, just text\n");
    writeSound(silent, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, {});
    writeSound(cut, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 11025, 1, zqtest::Concat(zqtest::RandomBlocks(40, 3)));
    ASSERT_EQ(truncate(cut.c_str(), static_cast<off_t>(readAll(cut).size() / 2)), 0);
    zqtest::WriteText(
        tooMany, std::string(";\n") + [] {
            std::string s;
            for (int i = 0; i < 1001; ++i) s += "0.001\n";
            return s;
        }());
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
        {fir + " " + cutWav + " " + out,
         cutWav + " is cut short: its header promises 33075 samples, the file holds 14978"},
        {fir + " " + cutAiff + " " + out, "is cut short: its header promises 33075 samples, the file holds 14973"},
        {fir + " " + cutStereo + " " + out, "is cut short: its header promises 33075 samples, the file holds 12489"},
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
        {fir + " " + noisy + " " + outFlac, "File too large", "ulimit -f 40;"},
        {fir + " " + good + " " + temp("out.mp3"), ".wav (the program's own format), .flac, .ogg or .aiff"},
        {fir + " " + good + " " + dir + std::string(300, 'n') + ".wav", "file name too long"},
        {fir + " " + good + " " + pipe, "not a regular file"},
        // Anything else that fails unwinds too.
        {fir + " " + good + " " + out, "not enough memory",
         "LD_PRELOAD=" ZQ_THROWING_READ " ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0"},
        // Also on a worker thread, and what fails as the output is finished.
        {fir + " --jobs 2 " + good + " " + out, "not enough memory", failing("thread-alloc")},
        {fir + " " + good + " " + out, "Input/output error", failing("fchmod")},
        {fir + " " + good + " " + out, "Input/output error", failing("close")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        zqtest::WriteText(out, "an earlier result");
        zqtest::WriteText(outFlac, "an earlier result");
        std::string err;
        EXPECT_EQ(tool("apply " + c.args, &err, nullptr, c.prefix), 1);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        EXPECT_EQ(readAll(out), "an earlier result");
        EXPECT_EQ(readAll(outFlac), "an earlier result");
        EXPECT_EQ(tempFilesIn(dir), 0);
    }
    {
        // A stream that does not say how long it is meets the limit as it is written (a smaller limit stands
        // in for the 4 GiB).
        // A FLAC stream whose header leaves the sample count at 0, as a stream written on the fly does.
        const std::string stream = temp("stream.flac");
        writeSound(stream, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 11025, 1, zqtest::Concat(zqtest::RandomBlocks(20, 5)));
        std::string bytes = readAll(stream);
        ASSERT_EQ(bytes.compare(0, 4, "fLaC"), 0);
        bytes[21] = static_cast<char>(bytes[21] & 0xF0);  // the 36-bit count ends the first 18 bytes of STREAMINFO
        std::fill(bytes.begin() + 22, bytes.begin() + 26, '\0');
        zqtest::WriteText(stream, bytes);
        SF_INFO info{};
        SNDFILE* f = sf_open(stream.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        sf_close(f);
        ASSERT_EQ(info.frames, SF_COUNT_MAX) << "the length is known";
        EXPECT_NE(halve(stream, out, 5 * 2048).find("4 GiB"), std::string::npos);
        EXPECT_EQ(readAll(out), "an earlier result");
        EXPECT_EQ(tempFilesIn(dir), 0);
        std::remove(stream.c_str());
    }
    // And the same output, written when all is well; a failure past the rename is told too.
    std::string err;
    EXPECT_EQ(tool("apply " + fir + " " + good + " " + out, &err, nullptr, failing("fsync-folder")), 1);
    EXPECT_EQ(err, "zoriq1-filter: cannot write " + out + ": Input/output error");
    EXPECT_EQ(tool("apply " + fir + " " + good + " " + out), 0);
    EXPECT_EQ(wavSamples(out), std::vector<int16_t>(50000, 500));
    EXPECT_EQ(tempFilesIn(dir), 0);
    for (const std::string& f : {good, out, fir, empty, text, silent, huge, cut, tooMany, crowded, longTaps, noisy,
                                 outFlac, pipe, cutWav, cutAiff, cutStereo})
        std::remove(f.c_str());
}

// The output replaces what its name stands for and no more: an existing file keeps its mode (and as root its
// owner and group), a link stays a link and the file it names is replaced beside it, a link to no file or one a
// stranger planted in a shared folder is refused, and a name as long as the directory allows is written.
TEST(FilterApply, TheOutputKeepsItsModeItsLinkAndItsLongName) {
    const std::string dir = temp("outputs"), in = temp("outputs_in.wav");
    ASSERT_TRUE(std::filesystem::create_directories(dir + "/sub"));
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, std::vector<int16_t>(5000, 1000));
    auto apply = [&](const std::string& output) {
        EXPECT_EQ(halve(in, output), "");
        EXPECT_EQ(wavSamples(output), std::vector<int16_t>(5000, 500));
    };
    const std::string kept = dir + "/kept.wav";
    for (mode_t mode : {0600, 0444, 0640}) {
        zqtest::WriteText(kept, "an earlier result");
        ASSERT_EQ(chmod(kept.c_str(), mode), 0);
        apply(kept);
        EXPECT_EQ(std::filesystem::status(kept).permissions(), std::filesystem::perms(mode));
    }
    struct stat st;
    const uid_t nobody = 65534;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(kept.c_str(), nobody, nobody), 0);
        apply(kept);
        ASSERT_EQ(stat(kept.c_str(), &st), 0);
        EXPECT_TRUE(st.st_uid == nobody && st.st_gid == nobody && (st.st_mode & 0777) == 0640)
            << st.st_uid << " " << st.st_mode;
    }
    // A link that names no file yet is refused and left so; then a link to the file, and a link to that link.
    ASSERT_EQ(symlink("sub/real.wav", (dir + "/link.wav").c_str()), 0);
    EXPECT_NE(halve(in, dir + "/link.wav").find("link.wav: it is a symbolic link to no file"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/sub/real.wav"));
    zqtest::WriteText(dir + "/sub/real.wav", "an earlier result");
    ASSERT_EQ(symlink(std::string(dir + "/link.wav").c_str(), (dir + "/sub/chain.wav").c_str()), 0);
    for (const char* output : {"/link.wav", "/link.wav", "/sub/chain.wav"}) apply(dir + output);
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link.wav") && std::filesystem::is_symlink(dir + "/sub/chain.wav"));
    if (geteuid() == 0) {
        // Another user's link in a sticky world-writable folder (as /tmp), naming root's file.
        ASSERT_EQ(mkdir((dir + "/shared").c_str(), 0777), 0);
        ASSERT_EQ(chmod((dir + "/shared").c_str(), 01777), 0);
        ASSERT_EQ(symlink(kept.c_str(), (dir + "/shared/planted.wav").c_str()), 0);
        ASSERT_EQ(lchown((dir + "/shared/planted.wav").c_str(), nobody, nobody), 0);
        zqtest::WriteText(kept, "root's file");
        EXPECT_NE(halve(in, dir + "/shared/planted.wav").find("another user made in a shared folder"),
                  std::string::npos);
        EXPECT_EQ(readAll(kept), "root's file");
        EXPECT_EQ(namesIn(dir + "/shared"), std::set<std::string>{"planted.wav"});
        std::filesystem::remove_all(dir + "/shared");
    }
    const std::string longest(pathconf(dir.c_str(), _PC_NAME_MAX) - 4, 'n');
    apply(dir + "/" + longest + ".wav");
    // "--" ends the options: names that begin with "-".
    std::string err;
    ASSERT_EQ(tool("apply " + std::string(ZQ_DEFAULT_BANK) + " --index 0 -- -in.wav -out.wav", &err, nullptr,
                   "cd " + dir + " && cp " + in + " ./-in.wav &&"),
              0)
        << err;
    EXPECT_EQ(wavSamples(dir + "/-out.wav").size(), 5000u);
    std::remove((dir + "/-in.wav").c_str());
    std::remove((dir + "/-out.wav").c_str());
    EXPECT_EQ(namesIn(dir), (std::set<std::string>{"kept.wav", "link.wav", "sub", longest + ".wav"}));
    EXPECT_EQ(namesIn(dir + "/sub"), (std::set<std::string>{"real.wav", "chain.wav"}));
    std::filesystem::remove_all(dir);
    std::remove(in.c_str());
}

// The temporary file is private while it is written, and written only through its descriptor: swapped for
// a link to another file while the tool works, it makes the tool fail, and the file the link names keeps
// its mode and contents.
TEST(FilterApply, TheTemporaryFileIsPrivateAndNeverOpenedAgainByName) {
    const std::string dir = temp("swapped"), fifo = dir + "/slow.wav", source = dir + "/source.wav",
                      out = dir + "/out.wav", fir = dir + "/half.fir", victim = dir + "/victim";
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    writeSound(source, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, std::vector<int16_t>(50000, 1000));
    const std::string bytes = readAll(source);
    std::string error;
    ASSERT_TRUE(WriteFirFile(fir, " Half", {0.5}, error));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    zqtest::WriteText(out, "an earlier result");
    ASSERT_EQ(chmod(out.c_str(), 0666), 0);
    zqtest::WriteText(victim, "another file");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    const std::string errFile = dir + "/stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        umask(022);
        freopen(errFile.c_str(), "w", stderr);
        execl(ZQ_FILTER_TOOL, ZQ_FILTER_TOOL, "apply", fir.c_str(), fifo.c_str(), out.c_str(), nullptr);
        _exit(127);
    }
    const int fd = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const size_t half = bytes.size() / 2;
    EXPECT_EQ(write(fd, bytes.data(), half), static_cast<ssize_t>(half));
    std::string tempName;
    for (int n = 0; n < 3000 && tempName.empty(); ++n) {
        for (const std::string& name : namesIn(dir))
            if (name.rfind(".out.wav.", 0) == 0) tempName = dir + "/" + name;
        if (tempName.empty()) usleep(10000);
    }
    ASSERT_FALSE(tempName.empty());
    struct stat st;
    ASSERT_EQ(stat(tempName.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(rename(tempName.c_str(), (dir + "/moved").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), tempName.c_str()), 0);
    EXPECT_EQ(write(fd, bytes.data() + half, bytes.size() - half), static_cast<ssize_t>(bytes.size() - half));
    close(fd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(readAll(errFile).find("was replaced while the tool ran"), std::string::npos) << readAll(errFile);
    ASSERT_EQ(lstat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readAll(victim), "another file");
    ASSERT_EQ(lstat(out.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readAll(out), "an earlier result");
    std::filesystem::remove_all(dir);
}

// A signal the tool's caller ignores stays ignored (nohup, a background job of a script): the tool, fed
// from a slow pipe, finishes its work. Any other signal that ends it leaves no temporary file.
TEST(FilterApply, SignalsTheCallerIgnoresStayIgnoredAndTheOthersLeaveNothing) {
    const std::string dir = temp("signals"), fifo = dir + "/slow.wav", source = dir + "/source.wav",
                      out = dir + "/out.wav", fir = dir + "/half.fir";
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    auto tempFiles = [&] {
        const std::set<std::string> names = namesIn(dir);
        return std::count_if(names.begin(), names.end(), [](const std::string& name) { return name[0] == '.'; });
    };
    writeSound(source, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1, std::vector<int16_t>(50000, 1000));
    const std::string bytes = readAll(source);
    std::string error;
    ASSERT_TRUE(WriteFirFile(fir, " Half", {0.5}, error));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto oldPipe = signal(SIGPIPE, SIG_IGN);  // the tool may end before it has read everything
    for (auto [sig, ignored] : {std::pair{SIGHUP, true}, {SIGINT, true}, {SIGALRM, false}, {SIGHUP, false}}) {
        SCOPED_TRACE(testing::Message() << strsignal(sig) << (ignored ? ", ignored" : ""));
        zqtest::WriteText(out, "an earlier result");
        const pid_t pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_DFL);
            signal(sig, ignored ? SIG_IGN : SIG_DFL);
            execl(ZQ_FILTER_TOOL, ZQ_FILTER_TOOL, "apply", fir.c_str(), fifo.c_str(), out.c_str(), nullptr);
            _exit(127);
        }
        const int fd = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const size_t half = bytes.size() / 2;
        EXPECT_EQ(write(fd, bytes.data(), half), static_cast<ssize_t>(half));
        // The temporary file is there: the tool is at work, waiting for the rest.
        for (int n = 0; n < 3000 && tempFiles() == 0; ++n) usleep(10000);
        EXPECT_EQ(tempFiles(), 1);
        kill(pid, sig);
        usleep(100000);  // taken while the tool still waits
        (void)!write(fd, bytes.data() + half, bytes.size() - half);
        close(fd);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(wavSamples(out), std::vector<int16_t>(50000, 500));
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            EXPECT_EQ(readAll(out), "an earlier result");
        }
        EXPECT_EQ(tempFiles(), 0);
    }
    signal(SIGPIPE, oldPipe);
    std::filesystem::remove_all(dir);
}
