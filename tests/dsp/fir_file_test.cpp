#include "dsp/fir_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class FirFile : public testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("zq_fir_test_" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Writes the text as the file's bytes and reads it back.
    int Read(const std::string& text) {
        const fs::path path = dir / "filter.fir";
        std::ofstream(path, std::ios::binary) << text;
        return ReadPath(path.string());
    }
    int ReadPath(const std::string& path) {
        std::memset(description, 'x', sizeof description);
        count = -1;
        return FirFileRead(path.c_str(), description, &count);
    }
    std::vector<double> Values() const {
        return std::vector<double>(UserCoefficients, UserCoefficients + UserCoefficientCount);
    }

    fs::path dir;
    char description[FIR_DESCRIPTION_SIZE];
    int count = -1;
};

std::string Joined(int n, const std::string& separator) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? separator : "") + std::to_string(i) + ".5";
    return s;
}

}  // namespace

TEST_F(FirFile, DescriptionAndValuesWithMixedSeparators) {
    ASSERT_EQ(Read("; Low pass, 3 taps\n0.25,0.5 ,\t 0.25\n\n  1e-3\t,,-2\n"), FIR_FILE_OK);
    EXPECT_STREQ(description, " Low pass, 3 taps");
    EXPECT_EQ(count, 5);
    EXPECT_EQ(Values(), (std::vector<double>{0.25, 0.5, 0.25, 1e-3, -2}));
}

TEST_F(FirFile, OnlyTheFirstDescriptionLineCounts) {
    ASSERT_EQ(Read("1\n;;;First; not this\n;Second 5 6\n2\n"), FIR_FILE_OK);
    EXPECT_STREQ(description, "First");
    EXPECT_EQ(Values(), (std::vector<double>{1, 2}));

    // A blank before the ';' makes a value line: ';' and the word become zeros.
    ASSERT_EQ(Read(" ; word 3\n"), FIR_FILE_OK);
    EXPECT_STREQ(description, "");
    EXPECT_EQ(Values(), (std::vector<double>{0, 0, 3}));

    // Nothing but ';': an empty description, and it is the file's description line.
    ASSERT_EQ(Read(";;;\n;Later\n7\n"), FIR_FILE_OK);
    EXPECT_STREQ(description, "");
    EXPECT_EQ(Values(), (std::vector<double>{7}));
}

TEST_F(FirFile, NumberGrammar) {
    ASSERT_EQ(Read("1.5D2 1.5d-2 1.5E2 -.5 +3. 7abc word 0x10 inf nan 1e 1e+ 1.5.5 . - 2e5x \v4 1e999"), FIR_FILE_OK);
    const std::vector<double> v = Values();
    ASSERT_EQ(v.size(), 18u);
    const std::vector<double> expected = {150, 0.015, 150, -0.5, 3, 7, 0, 0, 0, 0, 1, 1, 1.5, 0, 0, 2e5, 4};
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(v[i], expected[i]) << i;
    EXPECT_TRUE(std::isinf(v[17]));
}

TEST_F(FirFile, NumbersIgnoreTheProcessLocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed here";
    const int result = Read("0.5, 1.25e1\n-3,5\n");
    std::setlocale(LC_ALL, before.c_str());
    ASSERT_EQ(result, FIR_FILE_OK);
    EXPECT_EQ(Values(), (std::vector<double>{0.5, 12.5, -3, 5}));
}

TEST_F(FirFile, DescriptionLengthLimit) {
    ASSERT_EQ(Read(";" + std::string(126, 'd') + "\n1\n"), FIR_FILE_OK);
    EXPECT_EQ(std::string(description), std::string(126, 'd'));
    EXPECT_EQ(Read(";" + std::string(127, 'd') + "\n1\n"), FIR_FILE_ERR_DESCRIPTION);
    EXPECT_STREQ(description, "");
    EXPECT_EQ(count, -1);
}

TEST_F(FirFile, ValueLimit) {
    ASSERT_EQ(Read(Joined(1000, "\n")), FIR_FILE_OK);
    EXPECT_EQ(count, 1000);
    EXPECT_EQ(UserCoefficients[999], 999.5);
    EXPECT_EQ(Read(Joined(1001, "\n")), FIR_FILE_ERR_TOO_MANY);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(UserCoefficientCount, 1000);
}

TEST_F(FirFile, LongLinesAreReadInPiecesOf511Characters) {
    // 1000 values in one row, each 7 characters with its separator: 73 to a piece, none split.
    std::string row;
    for (int i = 0; i < 1000; ++i) {
        const std::string v = std::to_string(i) + ".5";
        row += std::string(6 - v.size(), ' ') + v + ",";
    }
    ASSERT_EQ(Read("; One row\n" + row + "\n"), FIR_FILE_OK);
    EXPECT_EQ(count, 1000);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(UserCoefficients[i], i + 0.5) << i;

    // A number across the 511th character is read as two.
    ASSERT_EQ(Read(std::string(505, ' ') + "1" + std::string(300, '0') + "\n"), FIR_FILE_OK);
    EXPECT_EQ(Values(), (std::vector<double>{1e5, 0}));
    // A line of 510 characters and its newline is one piece.
    ASSERT_EQ(Read(std::string(509, ' ') + "7\n8"), FIR_FILE_OK);
    EXPECT_EQ(Values(), (std::vector<double>{7, 8}));

    // The tail of a long description line is a piece of its own, a value line.
    ASSERT_EQ(Read(";Title;" + std::string(504, 'x') + "9 1 2 3\n4\n"), FIR_FILE_OK);
    EXPECT_STREQ(description, "Title");
    EXPECT_EQ(Values(), (std::vector<double>{9, 1, 2, 3, 4}));
}

TEST_F(FirFile, LineEndsAndEmptyFiles) {
    ASSERT_EQ(Read(";Crlf\r\n1\r\n2,\r\n3"), FIR_FILE_OK);
    EXPECT_STREQ(description, "Crlf");
    EXPECT_EQ(Values(), (std::vector<double>{1, 2, 3}));

    ASSERT_EQ(Read(""), FIR_FILE_OK);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(description, "");
    ASSERT_EQ(Read("\n  \n,\t,\n\r\n"), FIR_FILE_OK);
    EXPECT_EQ(count, 0);
}

TEST_F(FirFile, MissingOrUnreadableFiles) {
    EXPECT_EQ(ReadPath((dir / "missing.fir").string()), FIR_FILE_ERR_OPEN);
    EXPECT_STREQ(description, "");
    EXPECT_EQ(count, -1);
    EXPECT_EQ(ReadPath(dir.string()), FIR_FILE_ERR_OPEN);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(FirFileRead(nullptr, description, &count), FIR_FILE_ERR_OPEN);

    // Neither a FIFO (no one writes it) nor a device that never ends is read: each would hold the window for
    // ever. In a child that an alarm ends if they are waited on.
    const std::string fifo = (dir / "pipe.fir").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t child = fork();
    if (child == 0) {
        alarm(5);
        _exit(ReadPath(fifo) == FIR_FILE_ERR_OPEN && ReadPath("/dev/zero") == FIR_FILE_ERR_OPEN ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
