// Any bytes as FirFilter.fib: the readers must refuse or read, never crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "dsp/filter_bank.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = FilterBankPath();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    static char names[100][FILTER_NAME_SIZE];
    int count = 0;
    FilterBankReadIndex(100, &count, names);
    char name[FILTER_NAME_SIZE];
    for (int index : {-1, 0, 1, 2, count - 1, count}) {
        int k = 0;
        if (FilterBankReadFilter(index, name, &k) == FILTER_BANK_OK) {
            if (BankCoefficientCount < 0 || BankCoefficientCount > FIR_MAX_COEFFICIENTS) __builtin_trap();
            FilterNameText(name);
        }
    }
    return 0;
}
