#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "dsp/filter_bank.h"

namespace {

struct Filter {
    std::string name;
    std::vector<double> coefficients;
    int32_t storedCount = -1;    // -1: the real count
    int32_t storedPosition = -1; // -1: where the block is written
};

void put32(std::string& out, int32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
}

// A bank in the file layout: count, 136-byte entries, then the coefficient blocks.
std::string bankBytes(const std::vector<Filter>& filters, int32_t storedN = -1) {
    std::string out;
    put32(out, storedN >= 0 ? storedN : static_cast<int32_t>(filters.size()));
    int32_t position = 4 + 136 * static_cast<int32_t>(filters.size());
    for (const Filter& f : filters) {
        std::string name = f.name;
        name.resize(128, '\0');
        out += name;
        put32(out, f.storedPosition >= 0 || f.storedPosition < -1 ? f.storedPosition : position);
        put32(out, f.storedCount >= 0 || f.storedCount < -1 ? f.storedCount : static_cast<int32_t>(f.coefficients.size()));
        position += 8 * static_cast<int32_t>(f.coefficients.size());
    }
    for (const Filter& f : filters) out.append(reinterpret_cast<const char*>(f.coefficients.data()), 8 * f.coefficients.size());
    return out;
}

class FilterBank : public testing::Test {
protected:
    void TearDown() override { std::remove(FilterBankPath().c_str()); }
    void write(const std::string& bytes) {
        std::ofstream(FilterBankPath(), std::ios::binary) << bytes;
    }
    char names[100][FILTER_NAME_SIZE];
    char name[FILTER_NAME_SIZE];
    int count = -99;
};

}  // namespace

TEST_F(FilterBank, LiesBesideTheExecutableNotInTheWorkingDirectory) {
    const auto exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(FilterBankPath(), (exeDir / "FirFilter.fib").string());
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(testing::TempDir());
    std::ofstream("FirFilter.fib", std::ios::binary) << bankBytes({{"here", {1.0}}});
    EXPECT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_ERR_OPEN);
    std::remove("FirFilter.fib");
    std::filesystem::current_path(cwd);
}

TEST_F(FilterBank, IndexListsNamesInFileOrder) {
    write(bankBytes({{"Low-pass 500 Hz", {0.5, 0.5}}, {"High-pass", {1.0, -1.0, 0.25}}}));
    ASSERT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_OK);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(names[0], "Low-pass 500 Hz");
    EXPECT_STREQ(names[1], "High-pass");
}

TEST_F(FilterBank, IndexLimitsAndShortFiles) {
    std::vector<Filter> hundred(100, Filter{"f", {}});
    write(bankBytes(hundred));
    EXPECT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_OK);
    EXPECT_EQ(count, 100);
    hundred.push_back({"one too many", {}});
    write(bankBytes(hundred));
    EXPECT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_ERR_RANGE);
    EXPECT_EQ(count, 101);
    write(bankBytes({}));
    EXPECT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_OK);
    EXPECT_EQ(count, 0);
    write(bankBytes({}, 0).substr(0, 4) + std::string());
    std::string negative;
    put32(negative, -5);
    write(negative);
    EXPECT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_OK);
    EXPECT_EQ(count, -5);
    // An index cut short in its second entry.
    write(bankBytes({{"a", {}}, {"b", {}}, {"c", {}}}).substr(0, 4 + 136 + 60));
    EXPECT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_ERR_READ);
    EXPECT_EQ(count, 3);
    write("ab");
    EXPECT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_ERR_READ);
    std::remove(FilterBankPath().c_str());
    EXPECT_EQ(FilterBankReadIndex(100, &count, names), FILTER_BANK_ERR_OPEN);
}

TEST_F(FilterBank, FilterReadsNameAndExactCoefficients) {
    std::vector<double> thousand(1000);
    for (int i = 0; i < 1000; ++i) thousand[i] = 1.0 / (i + 3);
    write(bankBytes({{"first", {0.1, -0.2}}, {std::string(127, 'N'), thousand}}));
    ASSERT_EQ(FilterBankReadFilter(1, name, &count), FILTER_BANK_OK);
    EXPECT_EQ(count, 1000);
    EXPECT_EQ(BankCoefficientCount, 1000);
    EXPECT_EQ(FilterNameText(name), std::string(127, 'N'));
    EXPECT_EQ(std::memcmp(BankCoefficients, thousand.data(), 8000), 0);
    ASSERT_EQ(FilterBankReadFilter(0, name, &count), FILTER_BANK_OK);
    EXPECT_EQ(BankCoefficients[1], -0.2);
    EXPECT_EQ(FilterBankReadFilter(2, name, &count), FILTER_BANK_ERR_RANGE);
    EXPECT_EQ(FilterBankReadFilter(-1, name, &count), FILTER_BANK_ERR_RANGE);
}

TEST_F(FilterBank, FilterRejectsBadCountsAndPositions) {
    Filter tooLong{"long", {1.0}, 1001};
    Filter negative{"negative", {1.0}, -3};
    Filter empty{"empty", {}};
    Filter pastEnd{"past end", {1.0}, 50};
    Filter badPosition{"bad position", {1.0}, 1, -40};
    write(bankBytes({tooLong, negative, empty, pastEnd, badPosition}));
    EXPECT_EQ(FilterBankReadFilter(0, name, &count), FILTER_BANK_ERR_TOO_LONG);
    EXPECT_EQ(count, 1001);
    EXPECT_EQ(BankCoefficientCount, 0);
    EXPECT_EQ(FilterBankReadFilter(1, name, &count), FILTER_BANK_ERR_TOO_LONG);  // nothing is read for it
    EXPECT_EQ(BankCoefficientCount, 0);
    EXPECT_EQ(FilterBankReadFilter(2, name, &count), FILTER_BANK_OK);
    EXPECT_EQ(BankCoefficientCount, 0);
    EXPECT_EQ(FilterBankReadFilter(3, name, &count), FILTER_BANK_ERR_READ);
    EXPECT_EQ(FilterBankReadFilter(4, name, &count), FILTER_BANK_ERR_READ);
}

TEST_F(FilterBank, SharedCoefficientBlocksAndUnterminatedNames) {
    std::string bytes = bankBytes({{"a", {0.25, 0.75}}, {"b", {}}});
    // Point the second entry at the first block, and fill its name field without a zero byte.
    std::memset(&bytes[4 + 136], 'Z', 128);
    const std::string firstEntry = bytes.substr(4 + 128, 8);
    bytes.replace(4 + 136 + 128, 8, firstEntry);
    write(bytes);
    ASSERT_EQ(FilterBankReadFilter(1, name, &count), FILTER_BANK_OK);
    EXPECT_EQ(BankCoefficients[1], 0.75);
    EXPECT_EQ(FilterNameText(name), std::string(127, 'Z'));  // cut inside the field, never read past it
}
