#include "dsp/filter_bank.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Filter {
    std::string name;
    std::vector<double> coefficients;
};

// Builds a bank file image: count, index entries, then the coefficient blocks.
class BankImage {
public:
    void Int32(int32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF));
    }
    void Double(double d) {
        uint64_t u;
        std::memcpy(&u, &d, 8);
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    }
    void Name(const std::string& name) {
        std::string field(FILTER_NAME_SIZE, '\0');
        std::memcpy(field.data(), name.data(), std::min(name.size(), field.size()));
        bytes += field;
    }
    static BankImage Of(const std::vector<Filter>& filters) {
        BankImage b;
        b.Int32(static_cast<int32_t>(filters.size()));
        int32_t position = 4 + 136 * static_cast<int32_t>(filters.size());
        for (const Filter& f : filters) {
            b.Name(f.name);
            b.Int32(position);
            b.Int32(static_cast<int32_t>(f.coefficients.size()));
            position += 8 * static_cast<int32_t>(f.coefficients.size());
        }
        for (const Filter& f : filters)
            for (double c : f.coefficients) b.Double(c);
        return b;
    }
    std::string bytes;
};

class FilterBank : public testing::Test {
protected:
    void TearDown() override { fs::remove(FilterBankPath()); }
    static void Write(const std::string& bytes) {
        std::ofstream(FilterBankPath(), std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    static void Write(const BankImage& image) { Write(image.bytes); }

    int ReadIndex(int capacity = 100) {
        names.assign(static_cast<size_t>(std::max(capacity, 1)), std::array<char, FILTER_NAME_SIZE>{});
        count = -12345;
        return FilterBankReadIndex(capacity, &count, reinterpret_cast<char(*)[FILTER_NAME_SIZE]>(names.data()));
    }
    int ReadFilter(int index) {
        std::memset(name, 'x', sizeof name);
        count = -12345;
        return FilterBankReadFilter(index, name, &count);
    }

    std::vector<std::array<char, FILTER_NAME_SIZE>> names;
    char name[FILTER_NAME_SIZE];
    int count = 0;
};

std::vector<Filter> Numbered(int n, int coefficients = 3) {
    std::vector<Filter> filters;
    for (int i = 0; i < n; ++i)
        filters.push_back({"Filter " + std::to_string(i), std::vector<double>(coefficients, i + 0.25)});
    return filters;
}

}  // namespace

TEST_F(FilterBank, PathIsBesideTheExecutableNotTheWorkingDirectory) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(FilterBankPath(), (exe.parent_path() / "FirFilter.fib").string());

    const fs::path elsewhere = fs::temp_directory_path() / ("zq_bank_cwd_" + std::to_string(getpid()));
    fs::create_directories(elsewhere);
    const fs::path old = fs::current_path();
    fs::current_path(elsewhere);
    fs::remove(FilterBankPath());  // only the working directory holds a bank
    std::ofstream(elsewhere / "FirFilter.fib", std::ios::binary) << BankImage::Of(Numbered(1)).bytes;
    EXPECT_EQ(ReadIndex(), FILTER_BANK_ERR_OPEN);
    EXPECT_EQ(count, -12345);
    EXPECT_EQ(ReadFilter(0), FILTER_BANK_ERR_OPEN);
    fs::current_path(old);
    fs::remove_all(elsewhere);
}

TEST_F(FilterBank, IndexReadsNamesRawAndHonoursCapacity) {
    std::vector<Filter> filters = Numbered(100);
    filters[7].name = std::string(127, 'n');
    Write(BankImage::Of(filters));
    ASSERT_EQ(ReadIndex(100), FILTER_BANK_OK);
    EXPECT_EQ(count, 100);
    EXPECT_STREQ(names[0].data(), "Filter 0");
    EXPECT_EQ(FilterNameText(names[99].data()), "Filter 99");
    EXPECT_EQ(FilterNameText(names[7].data()), std::string(127, 'n'));

    Write(BankImage::Of(Numbered(101)));
    EXPECT_EQ(ReadIndex(100), FILTER_BANK_ERR_RANGE);
    EXPECT_EQ(count, 101);
    EXPECT_EQ(names[0][0], '\0');

    Write(BankImage::Of({}));
    EXPECT_EQ(ReadIndex(), FILTER_BANK_OK);
    EXPECT_EQ(count, 0);

    BankImage negative;
    negative.Int32(-5);
    Write(negative);
    EXPECT_EQ(ReadIndex(), FILTER_BANK_OK);
    EXPECT_EQ(count, -5);
}

TEST_F(FilterBank, ShortFilesAreReadErrors) {
    Write(std::string("\x02\x00", 2));
    EXPECT_EQ(ReadIndex(), FILTER_BANK_ERR_READ);
    EXPECT_EQ(count, -12345);
    EXPECT_EQ(ReadFilter(0), FILTER_BANK_ERR_READ);

    // The index of the third entry is cut short.
    const BankImage full = BankImage::Of(Numbered(5));
    Write(full.bytes.substr(0, 4 + 136 * 2 + 50));
    EXPECT_EQ(ReadIndex(), FILTER_BANK_ERR_READ);
    EXPECT_EQ(count, 5);
    // Entry 1 is whole but its coefficients lie beyond the cut.
    EXPECT_EQ(ReadFilter(1), FILTER_BANK_ERR_READ);
    EXPECT_STREQ(name, "Filter 1");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(ReadFilter(2), FILTER_BANK_ERR_READ);
    EXPECT_EQ(count, -12345);
}

TEST_F(FilterBank, FilterReadsNameAndCoefficients) {
    std::vector<Filter> filters = {
        {"Low pass", {0.5, -0.25, 1e-300}}, {"Empty", {}}, {"Long", std::vector<double>(1000)}};
    for (int i = 0; i < 1000; ++i) filters[2].coefficients[i] = i / 7.0;
    Write(BankImage::Of(filters));

    ASSERT_EQ(ReadFilter(0), FILTER_BANK_OK);
    EXPECT_STREQ(name, "Low pass");
    EXPECT_EQ(count, 3);
    ASSERT_EQ(BankCoefficientCount, 3);
    EXPECT_EQ(BankCoefficients[0], 0.5);
    EXPECT_EQ(BankCoefficients[1], -0.25);
    EXPECT_EQ(BankCoefficients[2], 1e-300);

    ASSERT_EQ(ReadFilter(2), FILTER_BANK_OK);
    EXPECT_EQ(BankCoefficientCount, 1000);
    EXPECT_EQ(BankCoefficients[999], 999 / 7.0);

    EXPECT_EQ(ReadFilter(1), FILTER_BANK_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(BankCoefficientCount, 0);

    EXPECT_EQ(ReadFilter(3), FILTER_BANK_ERR_RANGE);
    EXPECT_EQ(ReadFilter(-1), FILTER_BANK_ERR_RANGE);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(count, -12345);
}

TEST_F(FilterBank, SharedCoefficientBlockAndBadCounts) {
    BankImage b;
    b.Int32(4);
    const int32_t data = 4 + 136 * 4;
    b.Name("A");
    b.Int32(data);
    b.Int32(2);
    b.Name("B");
    b.Int32(data);
    b.Int32(2);
    b.Name("Too long");
    b.Int32(data);
    b.Int32(1001);
    b.Name("Negative");
    b.Int32(data);
    b.Int32(-1);
    b.Double(3.0);
    b.Double(4.0);
    Write(b);

    ASSERT_EQ(ReadFilter(1), FILTER_BANK_OK);
    EXPECT_EQ(BankCoefficients[0], 3.0);
    EXPECT_EQ(BankCoefficients[1], 4.0);

    EXPECT_EQ(ReadFilter(2), FILTER_BANK_ERR_TOO_LONG);
    EXPECT_EQ(count, 1001);
    EXPECT_EQ(BankCoefficientCount, 0);

    EXPECT_EQ(ReadFilter(3), FILTER_BANK_ERR_TOO_LONG);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(BankCoefficientCount, 0);
}

TEST_F(FilterBank, CoefficientsOutsideTheFileAreReadErrors) {
    BankImage b;
    b.Int32(2);
    b.Name("Past the end");
    b.Int32(4 + 136 * 2);
    b.Int32(3);
    b.Name("Negative position");
    b.Int32(-8);
    b.Int32(1);
    b.Double(1.0);
    b.Double(2.0);
    Write(b);

    // Coefficients of an earlier filter must not survive behind a partial read.
    Write(BankImage::Of({{"Old", {9.0, 9.0, 9.0}}}));
    ASSERT_EQ(ReadFilter(0), FILTER_BANK_OK);
    Write(b);
    EXPECT_EQ(ReadFilter(0), FILTER_BANK_ERR_READ);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(BankCoefficients[0], 1.0);
    EXPECT_EQ(BankCoefficients[1], 2.0);
    EXPECT_EQ(BankCoefficients[2], 0.0);

    EXPECT_EQ(ReadFilter(1), FILTER_BANK_ERR_READ);
    EXPECT_EQ(count, 1);
}

TEST_F(FilterBank, HugeCountsAndIndexesStayInsideTheFile) {
    BankImage b;
    b.Int32(INT32_MAX);
    b.Name("Only");
    Write(b);
    EXPECT_EQ(ReadFilter(INT32_MAX - 1), FILTER_BANK_ERR_READ);
    char slot[1][FILTER_NAME_SIZE];
    EXPECT_EQ(FilterBankReadIndex(INT32_MAX, &count, slot), FILTER_BANK_ERR_READ);
    EXPECT_STREQ(slot[0], "Only");
    BankImage m;
    m.Int32(INT32_MIN);
    Write(m);
    EXPECT_EQ(ReadFilter(0), FILTER_BANK_ERR_RANGE);
    EXPECT_EQ(ReadFilter(INT32_MIN), FILTER_BANK_ERR_RANGE);
}

TEST(FilterNameText, StopsAtTheZeroByteOrAfter127Bytes) {
    char field[FILTER_NAME_SIZE];
    std::memset(field, 'a', sizeof field);
    EXPECT_EQ(FilterNameText(field), std::string(127, 'a'));
    field[5] = '\0';
    EXPECT_EQ(FilterNameText(field), "aaaaa");
}
