// Feeds arbitrary bytes as a *.fir file to the coefficient file reader.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dsp/fir_file.h"
#include "fuzz_common.h"

namespace {

std::string& FirPath() {
    static std::string path;
    return path;
}

void RemoveFir() {
    std::remove(FirPath().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/zq_fuzz_fir_XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) std::abort();
    close(fd);
    FirPath() = name;
    std::atexit(RemoveFir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteInput(FirPath().c_str(), data, size);
    char description[FIR_DESCRIPTION_SIZE];
    std::memset(description, 'x', sizeof description);
    int count = -7;
    const int result = FirFileRead(FirPath().c_str(), description, &count);
    if (result < 0 || result > 3) std::abort();
    if (std::memchr(description, '\0', FIR_DESCRIPTION_SIZE - 1) == nullptr) std::abort();
    if (UserCoefficientCount < 0 || UserCoefficientCount > FIR_MAX_COEFFICIENTS) std::abort();
    if (result == FIR_FILE_OK) {
        if (count != UserCoefficientCount) std::abort();
        ConvolveWith(UserCoefficients, UserCoefficientCount);
    } else if (count != -7) {
        std::abort();
    }
    return 0;
}
