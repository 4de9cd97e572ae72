// Feeds arbitrary bytes as FirFilter.fib beside the executable to both bank readers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dsp/filter_bank.h"
#include "fuzz_common.h"

namespace {

std::string& BankPath() {
    static std::string path = FilterBankPath();
    return path;
}

void RemoveBank() {
    std::remove(BankPath().c_str());
}

void ReadFilter(int index) {
    char name[FILTER_NAME_SIZE];
    int count = 0;
    const int result = FilterBankReadFilter(index, name, &count);
    if (result < 0 || result > 4) std::abort();
    if (BankCoefficientCount < 0 || BankCoefficientCount > FIR_MAX_COEFFICIENTS) std::abort();
    if (FilterNameText(name).size() > FILTER_NAME_SIZE - 1) std::abort();
    if (result == FILTER_BANK_OK) ConvolveWith(BankCoefficients, BankCoefficientCount);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (BankPath().empty()) std::abort();
    std::atexit(RemoveBank);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteInput(BankPath().c_str(), data, size);

    static char names[100][FILTER_NAME_SIZE];
    int count = 0;
    const int result = FilterBankReadIndex(100, &count, names);
    if (result < 0 || result > 3) std::abort();
    if (result == FILTER_BANK_OK)
        for (int i = 0; i < count; ++i) FilterNameText(names[i]);

    ReadFilter(0);
    ReadFilter(1);
    ReadFilter(-1);
    if (size >= 4) {
        ReadFilter(count);
        if (count > INT32_MIN) ReadFilter(count - 1);
        ReadFilter(count / 2);
    }
    return 0;
}
