#pragma once
// Reader of the filter bank file FirFilter.fib, looked for beside the running executable.
#include <cstdint>
#include <string>

#include "dsp/fir_limits.h"

// The bank's layout: a 32-bit count N, N index entries (a name field, then the 32-bit position and
// coefficient count of the filter's doubles), then the coefficient blocks. Integers little-endian.
constexpr int FILTER_NAME_SIZE = 128;
constexpr int FILTER_INDEX_ENTRY_SIZE = FILTER_NAME_SIZE + 4 + 4;  // 136 bytes
constexpr int FILTER_BANK_HEADER_SIZE = 4;
// The main window lists at most this many filters, and none of a larger bank.
constexpr int FILTER_BANK_LISTED = 100;

enum {
    FILTER_BANK_OK = 0,
    FILTER_BANK_ERR_OPEN = 1,
    FILTER_BANK_ERR_READ = 2,
    FILTER_BANK_ERR_RANGE = 3,
    FILTER_BANK_ERR_TOO_LONG = 4,
};

// Coefficients of the filter read last by FilterBankReadFilter; coefficient 0 weighs the newest sample.
extern double BankCoefficients[FIR_MAX_COEFFICIENTS];
extern int32_t BankCoefficientCount;

// Reads the names of all filters into names[0 .. count-1] (128 raw bytes each).
// count receives N as stored, also on results 2 and 3.
int FilterBankReadIndex(int capacity, int* count, char (*names)[FILTER_NAME_SIZE]);

// Reads filter `index` into BankCoefficients; name receives its 128 raw name bytes,
// count its stored coefficient count once the entry has been read.
int FilterBankReadFilter(int index, char name[FILTER_NAME_SIZE], int* count);

// The same readers on a bank at another path (the companion tool checks banks before they are installed).
int FilterBankReadIndexAt(const std::string& path, int capacity, int* count, char (*names)[FILTER_NAME_SIZE]);
int FilterBankReadFilterAt(const std::string& path, int index, char name[FILTER_NAME_SIZE], int* count);

// Full path of FirFilter.fib: the directory of the running executable plus the file name.
std::string FilterBankPath();

// The name held in a 128-byte name field: the bytes up to the first zero byte, at most 127.
std::string FilterNameText(const char field[FILTER_NAME_SIZE]);
