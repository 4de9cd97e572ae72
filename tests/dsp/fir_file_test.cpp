#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "dsp/fir_file.h"

namespace {

class FirFile : public testing::Test {
protected:
    void TearDown() override { std::remove(path.c_str()); }
    int read(const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
        return FirFileRead(path.c_str(), description, &count);
    }
    std::string path = std::string(testing::TempDir()) + "zq_fir_" + std::to_string(getpid()) + ".fir";
    char description[FIR_DESCRIPTION_SIZE];
    int count = -7;
};

}  // namespace

TEST_F(FirFile, DescriptionAndValuesWithAnySeparators) {
    ASSERT_EQ(read("; Low pass, 3 taps\r\n0.25, 0.5\t0.25\r\n-1 ,\t 2\n"), FIR_FILE_OK);
    EXPECT_STREQ(description, " Low pass, 3 taps");
    EXPECT_EQ(count, 5);
    EXPECT_EQ(UserCoefficients[0], 0.25);
    EXPECT_EQ(UserCoefficients[2], 0.25);
    EXPECT_EQ(UserCoefficients[3], -1.0);
    EXPECT_EQ(UserCoefficients[4], 2.0);
}

TEST_F(FirFile, OnlyTheFirstDescriptionLineCounts) {
    ASSERT_EQ(read("1\n;;;first;rest\n;second 5 6\n2\n"), FIR_FILE_OK);
    EXPECT_STREQ(description, "first");
    EXPECT_EQ(count, 2);
    ASSERT_EQ(read(" ; word 3\n"), FIR_FILE_OK);  // not a description line: ';' and the word are zeros
    EXPECT_STREQ(description, "");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(UserCoefficients[0], 0.0);
    EXPECT_EQ(UserCoefficients[2], 3.0);
    ASSERT_EQ(read(";;;\n4\n"), FIR_FILE_OK);  // nothing but ';': an empty description
    EXPECT_STREQ(description, "");
    EXPECT_EQ(count, 1);
}

TEST_F(FirFile, NumberGrammar) {
    ASSERT_EQ(read("1.5D2 1.5e2 -.5 +3. 7abc word 0x1A inf 1e 2e+ . - 1E-2 12.5.5\n"), FIR_FILE_OK);
    const double expected[] = {150, 150, -0.5, 3, 7, 0, 0, 0, 1, 2, 0, 0, 0.01, 12.5};
    ASSERT_EQ(count, 14);
    for (int i = 0; i < 14; ++i) EXPECT_EQ(UserCoefficients[i], expected[i]) << i;
}

TEST_F(FirFile, NumbersIgnoreTheProcessLocale) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
    const int result = read("0.5, 1.25e1\n");
    std::setlocale(LC_ALL, "C");
    ASSERT_EQ(result, FIR_FILE_OK);
    EXPECT_EQ(UserCoefficients[0], 0.5);
    EXPECT_EQ(UserCoefficients[1], 12.5);
}

TEST_F(FirFile, DescriptionLength) {
    ASSERT_EQ(read(";" + std::string(126, 'd') + "\n1\n"), FIR_FILE_OK);
    EXPECT_EQ(std::string(description), std::string(126, 'd'));
    EXPECT_EQ(read(";" + std::string(127, 'd') + "\n1\n"), FIR_FILE_ERR_DESCRIPTION);
    EXPECT_STREQ(description, "");
    EXPECT_EQ(count, 1);  // untouched on failure
}

TEST_F(FirFile, AtMostAThousandValues) {
    std::string values;
    for (int i = 0; i < 1000; ++i) values += std::to_string(i) + "\n";
    ASSERT_EQ(read(values), FIR_FILE_OK);
    EXPECT_EQ(count, 1000);
    EXPECT_EQ(UserCoefficients[999], 999.0);
    count = -7;
    EXPECT_EQ(read(values + "1000\n"), FIR_FILE_ERR_TOO_MANY);
    EXPECT_EQ(count, -7);
}

TEST_F(FirFile, LongLinesAreReadWhole) {
    // One comma-separated row of 1000 values, far beyond 511 characters: no number is split.
    std::string row;
    for (int i = 0; i < 1000; ++i) row += (i ? "," : "") + std::to_string(0.000123456789 * (i + 1));
    ASSERT_GT(row.size(), 5000u);
    ASSERT_EQ(read(row + "\n"), FIR_FILE_OK);
    ASSERT_EQ(count, 1000);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(UserCoefficients[i], std::stod(std::to_string(0.000123456789 * (i + 1)))) << i;
}

TEST_F(FirFile, EmptyFilesAndMissingFiles) {
    ASSERT_EQ(read(""), FIR_FILE_OK);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(read("\n  \n,,\t\n"), FIR_FILE_OK);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(description, "");
    count = -7;
    EXPECT_EQ(FirFileRead("/nonexistent/x.fir", description, &count), FIR_FILE_ERR_OPEN);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(FirFileRead(nullptr, description, &count), FIR_FILE_ERR_OPEN);
}
