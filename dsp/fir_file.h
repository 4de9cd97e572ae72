#pragma once
// Reader of FIR coefficient text files (*.fir).
#include <cstdint>

#include "dsp/fir_limits.h"

constexpr int FIR_DESCRIPTION_SIZE = 128;

enum {
    FIR_FILE_OK = 0,
    FIR_FILE_ERR_OPEN = 1,
    FIR_FILE_ERR_TOO_MANY = 2,
    FIR_FILE_ERR_DESCRIPTION = 3,
};

extern double UserCoefficients[FIR_MAX_COEFFICIENTS];
extern int32_t UserCoefficientCount;

// Reads the file's coefficients into UserCoefficients and its description (at most 126
// characters, zero-terminated) into description. count is written on success only.
int FirFileRead(const char* path, char description[FIR_DESCRIPTION_SIZE], int* count);
