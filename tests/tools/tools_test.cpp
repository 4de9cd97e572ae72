#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dsp/filter_bank.h"
#include "dsp/fir_analysis.h"
#include "dsp/fir_file.h"
#include "tool_run.h"
#include "tools/filter_files.h"
#include "tools/fir_design.h"
#include "tools/response.h"

namespace {

std::vector<double> design(BandType band, int taps, double f1, double f2 = 0, WindowType w = WindowType::Hamming) {
    FirDesign d;
    d.band = band;
    d.taps = taps;
    d.f1 = f1;
    d.f2 = f2;
    d.window = w;
    std::string error;
    auto h = DesignFir(d, error);
    EXPECT_EQ(error, "");
    return h;
}

}  // namespace

TEST(FilterTool, DesignWritesWhatTheProgramReadsBackExactly) {
    const auto h = design(BandType::BandPass, 301, 300, 3400, WindowType::Blackman);
    const std::string fir = temp("tel.fir");
    std::string error;
    ASSERT_TRUE(WriteFirFile(fir, " Telephone band", h, error)) << error;
    char description[FIR_DESCRIPTION_SIZE];
    int count = 0;
    ASSERT_EQ(FirFileRead(fir.c_str(), description, &count), FIR_FILE_OK);
    EXPECT_STREQ(description, " Telephone band");
    ASSERT_EQ(count, 301);
    EXPECT_EQ(std::memcmp(UserCoefficients, h.data(), 301 * sizeof(double)), 0);

    // Through a bank beside the program (this test's executable) and the program's bank reader.
    BankFilter fromFile;
    ASSERT_TRUE(ReadFirForBank(fir, fromFile, error)) << error;
    EXPECT_EQ(fromFile.name, "Telephone band");
    const auto average = std::vector<double>(7, 1.0 / 7);
    ASSERT_TRUE(WriteBank(FilterBankPath(), {fromFile, {"Average", average}}, error)) << error;
    char name[FILTER_NAME_SIZE];
    ASSERT_EQ(FilterBankReadFilter(0, name, &count), FILTER_BANK_OK);
    EXPECT_EQ(FilterNameText(name), "Telephone band");
    EXPECT_EQ(std::memcmp(BankCoefficients, h.data(), 301 * sizeof(double)), 0);
    ASSERT_EQ(FilterBankReadFilter(1, name, &count), FILTER_BANK_OK);
    EXPECT_EQ(std::memcmp(BankCoefficients, average.data(), 7 * sizeof(double)), 0);
    std::remove(FilterBankPath().c_str());
    std::remove(fir.c_str());
}

TEST(FilterTool, BankLimitsAreRefusedWithAReason) {
    std::string error;
    const std::string path = temp("limits.fib");
    EXPECT_FALSE(WriteBank(path, std::vector<BankFilter>(101, {"f", {1.0}}), error));
    EXPECT_NE(error.find("100 filters"), std::string::npos);
    EXPECT_FALSE(WriteBank(path, {{"long", std::vector<double>(1001, 0.0)}}, error));
    EXPECT_NE(error.find("1000 coefficients"), std::string::npos);
    EXPECT_FALSE(WriteBank(path, {{std::string(128, 'n'), {1.0}}}, error));
    EXPECT_NE(error.find("127 bytes"), std::string::npos);
    EXPECT_TRUE(WriteBank(path, {{std::string(127, 'n'), {1.0}}}, error));
    std::vector<BankFilter> back;
    ASSERT_TRUE(ReadBank(path, back, error));
    EXPECT_EQ(back[0].name, std::string(127, 'n'));
    std::remove(path.c_str());
}

TEST(FilterTool, ImportTakesCommentsAndNamesTheBadLine) {
    const std::string path = temp("plain.txt");
    std::ofstream(path) << "# exported taps\n\n 0.25\n-0.5e-1\r\n# end\n1\n";
    std::vector<double> h;
    std::string error;
    ASSERT_TRUE(ImportPlainText(path, h, error)) << error;
    EXPECT_EQ(h, (std::vector<double>{0.25, -0.05, 1.0}));
    std::ofstream(path) << "1\n2\n0,5\n";
    EXPECT_FALSE(ImportPlainText(path, h, error));
    EXPECT_NE(error.find("line 3"), std::string::npos);
    std::string many;
    for (int i = 0; i < 1001; ++i) many += "1\n";
    std::ofstream(path) << many;
    EXPECT_FALSE(ImportPlainText(path, h, error));
    EXPECT_NE(error.find("1000"), std::string::npos);
    std::remove(path.c_str());
}

TEST(FilterTool, ImpossibleDesignsAreRefused) {
    FirDesign d;
    std::string error;
    d.band = BandType::HighPass;
    d.taps = 100;
    d.f1 = 300;
    EXPECT_TRUE(DesignFir(d, error).empty());
    EXPECT_NE(error.find("odd"), std::string::npos);
    d.taps = 1001;
    EXPECT_TRUE(DesignFir(d, error).empty());
    d.band = BandType::BandPass;
    d.taps = 101;
    d.f1 = 3000;
    d.f2 = 2000;
    EXPECT_TRUE(DesignFir(d, error).empty());
    d.band = BandType::LowPass;
    d.f1 = 6000;
    EXPECT_TRUE(DesignFir(d, error).empty());
}

TEST(FilterTool, GainIsOneWhereItIsNormalised) {
    auto sum = [](const std::vector<double>& h, double sign) {
        double s = 0, c = 1;
        for (double x : h) s += x * c, c *= sign;
        return s;
    };
    EXPECT_NEAR(sum(design(BandType::LowPass, 101, 1000), 1), 1.0, 1e-12);
    EXPECT_NEAR(sum(design(BandType::BandStop, 101, 1000, 2000), 1), 1.0, 1e-12);
    EXPECT_NEAR(sum(design(BandType::HighPass, 101, 1000), -1), 1.0, 1e-12);
}

// The one response computation the tool and the program's response window share, against |H| summed
// here in long double: the default bank's low-pass 1000 Hz and its moving average of 11, whose
// |H(f)| = |sin(11 pi f / fs) / (11 sin(pi f / fs))|.
TEST(FilterTool, DesignedResponseIsTheFiltersExactGain) {
    std::vector<BankFilter> bank;
    std::string error;
    ASSERT_TRUE(ReadBank(ZQ_DEFAULT_BANK, bank, error)) << error;
    ASSERT_EQ(bank.size(), 9u);
    const std::vector<double>& lowpass = bank[1].coefficients;
    const std::vector<double>& average = bank[8].coefficients;
    ASSERT_EQ(lowpass.size(), 201u);
    ASSERT_EQ(average.size(), 11u);
    auto exactDb = [](const std::vector<double>& h, double f) {
        long double re = 0, im = 0;
        for (size_t k = 0; k < h.size(); ++k) {
            re += h[k] * std::cos(2.0L * 3.14159265358979323846L * f * k / 11025);
            im -= h[k] * std::sin(2.0L * 3.14159265358979323846L * f * k / 11025);
        }
        return static_cast<double>(20 * std::log10(std::sqrt(re * re + im * im)));
    };
    for (double f : {0.0, 250.0, 800.0, 1000.0, 1100.0, 1500.0, 2500.0, 5000.0}) {
        const double db = FirGainDb(lowpass.data(), 201, f, 11025);
        EXPECT_NEAR(db, exactDb(lowpass, f), 1e-6 * std::max(1.0, -db)) << f;
    }
    EXPECT_NEAR(FirGainDb(lowpass.data(), 201, 500, 11025), 0.0, 0.01);
    EXPECT_NEAR(FirGainDb(lowpass.data(), 201, 1000, 11025), -6.02, 0.1);
    EXPECT_LT(FirGainDb(lowpass.data(), 201, 1500, 11025), -80);
    for (double f : {0.0, 300.0, 501.0, 1002.27, 1700.0, 3007.0, 5512.5}) {
        const double x = M_PI * f / 11025;
        const double exact = f == 0 ? 0.0 : 20 * std::log10(std::abs(std::sin(11 * x) / (11 * std::sin(x))));
        EXPECT_NEAR(FirGainDb(average.data(), 11, f, 11025), exact, 1e-6) << f;
    }
    // The table: evenly spaced from 0 to half the rate, the nulls at multiples of 11025 / 11 Hz.
    const auto table = MagnitudeResponse(average, 11025, 12);
    EXPECT_EQ(table.front().hz, 0.0);
    EXPECT_EQ(table.back().hz, 5512.5);
    EXPECT_NEAR(table[5].db, exactDb(average, 5512.5 * 5 / 11), 1e-6);
    EXPECT_LT(MaxGainDb(average, 11025, 11025.0 / 11, 11025.0 / 11), -100);
}

// The figures the README states for the default bank.
TEST(FilterTool, DefaultBankMeetsItsStatedAttenuation) {
    std::vector<BankFilter> bank;
    std::string error;
    ASSERT_TRUE(ReadBank(ZQ_DEFAULT_BANK, bank, error)) << error;
    ASSERT_EQ(bank.size(), 9u);
    struct Band {
        int index;
        double lo, hi, maxDb;
    } stops[] = {{0, 700, 5512.5, -80}, {1, 1300, 5512.5, -80}, {2, 2600, 5512.5, -80}, {3, 0, 100, -80},
                 {4, 0, 100, -80},      {4, 3600, 5512.5, -80}, {5, 0, 750, -80},       {5, 1250, 5512.5, -80},
                 {6, 49, 51, -40},      {7, 59, 61, -40}};
    for (const Band& b : stops)
        EXPECT_LT(MaxGainDb(bank[b.index].coefficients, 11025, b.lo, b.hi), b.maxDb) << bank[b.index].name;
    // The notches leave the rest of the band alone.
    EXPECT_GT(MaxGainDb(bank[6].coefficients, 11025, 150, 150), -0.2);
    for (const BankFilter& f : bank) EXPECT_LE(f.coefficients.size(), 1000u);
}

TEST(FilterTool, CommandLineSaysWhatIsWrongInOneLine) {
    std::string err;
    EXPECT_EQ(tool("design highpass --cutoff 300 --taps 300 -o " + temp("x.fir"), &err), 1);
    EXPECT_EQ(err, "zoriq1-filter: a high-pass or band-stop filter needs an odd number of taps");
    EXPECT_EQ(tool("frobnicate", &err), 1);
    EXPECT_NE(err.find("unknown command"), std::string::npos);
    const std::string broken = temp("broken.fib");
    std::ofstream(broken, std::ios::binary) << std::string("\x05\x00\x00\x00", 4) << "short";
    EXPECT_EQ(tool("check " + broken, &err), 1);
    EXPECT_NE(err.find("shorter than its index"), std::string::npos);
    EXPECT_EQ(tool("check " + std::string(ZQ_DEFAULT_BANK)), 0);
    for (const char* command : {"design", "bank", "list", "check", "import", "response", "apply"})
        EXPECT_EQ(tool(std::string(command) + " --help"), 0) << command;
    const std::string png = temp("r.png");
    EXPECT_EQ(tool("response " + std::string(ZQ_DEFAULT_BANK) + " --index 8 --png " + png), 0);
    std::ifstream in(png, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    std::remove(png.c_str());
    std::remove(broken.c_str());
}
