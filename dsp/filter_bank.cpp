#include "dsp/filter_bank.h"

#include <unistd.h>
#include <cstdio>
#include <cstring>

double BankCoefficients[FIR_MAX_COEFFICIENTS];
int32_t BankCoefficientCount = 0;

namespace {

// Closes the file on every way out.
class BankFile {
public:
    explicit BankFile(const std::string& path) : f_(path.empty() ? nullptr : std::fopen(path.c_str(), "rb")) {}
    ~BankFile() {
        if (f_) std::fclose(f_);
    }
    BankFile(const BankFile&) = delete;
    BankFile& operator=(const BankFile&) = delete;

    bool IsOpen() const { return f_ != nullptr; }
    bool Read(void* to, size_t bytes) { return std::fread(to, 1, bytes, f_) == bytes; }
    bool ReadInt32(int32_t* value) {
        unsigned char b[4];
        if (!Read(b, 4)) return false;
        const uint32_t u = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        *value = static_cast<int32_t>(u);
        return true;
    }
    bool ReadDouble(double* value) {
        unsigned char b[8];
        if (!Read(b, 8)) return false;
        uint64_t u = 0;
        for (int i = 7; i >= 0; --i) u = u << 8 | b[i];
        std::memcpy(value, &u, sizeof u);
        return true;
    }
    bool Seek(int64_t position) { return position >= 0 && fseeko(f_, static_cast<off_t>(position), SEEK_SET) == 0; }

private:
    std::FILE* f_;
};

}  // namespace

std::string FilterBankPath() {
    // The link target has no length limit of its own: grow the buffer until it fits.
    std::string exe(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
        if (n < 0) return std::string();  // no executable path: no file rather than one from the working directory
        if (static_cast<size_t>(n) < exe.size()) {
            exe.resize(static_cast<size_t>(n));
            break;
        }
        exe.resize(exe.size() * 2);
    }
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return std::string();
    exe.resize(slash + 1);
    return exe + "FirFilter.fib";
}

std::string FilterNameText(const char field[FILTER_NAME_SIZE]) {
    // A field without a zero byte is cut to 127 characters, never read past its end.
    size_t len = 0;
    while (len < FILTER_NAME_SIZE - 1 && field[len] != '\0') ++len;
    return std::string(field, len);
}

int FilterBankReadIndex(int capacity, int* count, char (*names)[FILTER_NAME_SIZE]) {
    return FilterBankReadIndexAt(FilterBankPath(), capacity, count, names);
}

int FilterBankReadFilter(int index, char name[FILTER_NAME_SIZE], int* count) {
    return FilterBankReadFilterAt(FilterBankPath(), index, name, count);
}

int FilterBankReadIndexAt(const std::string& path, int capacity, int* count, char (*names)[FILTER_NAME_SIZE]) {
    BankFile file(path);
    if (!file.IsOpen()) return FILTER_BANK_ERR_OPEN;
    int32_t n = 0;
    if (!file.ReadInt32(&n)) return FILTER_BANK_ERR_READ;
    *count = n;
    if (n > capacity) return FILTER_BANK_ERR_RANGE;
    for (int32_t i = 0; i < n; ++i) {
        int32_t position = 0, coefficients = 0;
        if (!file.Read(names[i], FILTER_NAME_SIZE) || !file.ReadInt32(&position) || !file.ReadInt32(&coefficients))
            return FILTER_BANK_ERR_READ;
    }
    return FILTER_BANK_OK;
}

int FilterBankReadFilterAt(const std::string& path, int index, char name[FILTER_NAME_SIZE], int* count) {
    BankCoefficientCount = 0;
    name[0] = '\0';
    BankFile file(path);
    if (!file.IsOpen()) return FILTER_BANK_ERR_OPEN;
    int32_t n = 0;
    if (!file.ReadInt32(&n)) return FILTER_BANK_ERR_READ;
    if (index < 0 || index >= n) return FILTER_BANK_ERR_RANGE;
    int32_t position = 0, k = 0;
    if (!file.Seek(FILTER_BANK_HEADER_SIZE + FILTER_INDEX_ENTRY_SIZE * int64_t(index)) ||
        !file.Read(name, FILTER_NAME_SIZE) || !file.ReadInt32(&position))
        return FILTER_BANK_ERR_READ;
    if (!file.ReadInt32(&k)) return FILTER_BANK_ERR_READ;
    *count = k;
    // A negative count would read nothing sensible either; it is as unusable as one too long.
    if (k > FIR_MAX_COEFFICIENTS || k < 0) return FILTER_BANK_ERR_TOO_LONG;
    BankCoefficientCount = k;
    if (k == 0) return FILTER_BANK_OK;
    int32_t i = 0;
    if (file.Seek(position))
        while (i < k && file.ReadDouble(&BankCoefficients[i])) ++i;
    if (i == k) return FILTER_BANK_OK;
    // No coefficient of an earlier filter stays behind the ones this one had.
    for (; i < k; ++i) BankCoefficients[i] = 0.0;
    return FILTER_BANK_ERR_READ;
}
