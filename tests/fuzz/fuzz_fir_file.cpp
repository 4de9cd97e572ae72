// Any bytes as a coefficient text file: read or refused, never a crash or an overrun.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "dsp/fir_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/zq_fuzz_" + std::to_string(getpid()) + ".fir";
    static const struct Cleanup {
        ~Cleanup() { std::remove(path.c_str()); }
    } cleanup;
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    char description[FIR_DESCRIPTION_SIZE];
    int count = -1;
    const int result = FirFileRead(path.c_str(), description, &count);
    if (std::strlen(description) > FIR_DESCRIPTION_SIZE - 2) __builtin_trap();
    if (result == FIR_FILE_OK && (count < 0 || count > FIR_MAX_COEFFICIENTS)) __builtin_trap();
    return 0;
}
