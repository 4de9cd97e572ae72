#include "dsp/filter_bank.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

double BankCoefficients[FIR_MAX_COEFFICIENTS];
int32_t BankCoefficientCount = 0;

namespace {

constexpr long ENTRY_BYTES = FILTER_NAME_SIZE + 8;

class File {
public:
    explicit File(const std::string& path) : m_file(path.empty() ? nullptr : std::fopen(path.c_str(), "rb")) {}
    ~File() {
        if (m_file) std::fclose(m_file);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    explicit operator bool() const { return m_file != nullptr; }
    bool read(void* data, size_t bytes) { return std::fread(data, 1, bytes, m_file) == bytes; }
    bool readInt32(int32_t* value) {
        unsigned char b[4];
        if (!read(b, 4)) return false;
        *value = static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                      static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
        return true;
    }
    bool seek(long long position) {
        return position >= 0 && std::fseek(m_file, static_cast<long>(position), SEEK_SET) == 0;
    }

private:
    std::FILE* m_file;
};

}  // namespace

std::string FilterBankPath() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || exe.empty()) return {};
    return (exe.parent_path() / "FirFilter.fib").string();
}

std::string FilterNameText(const char field[FILTER_NAME_SIZE]) {
    return std::string(field, strnlen(field, FILTER_NAME_SIZE - 1));
}

int FilterBankReadIndex(int capacity, int* count, char (*names)[FILTER_NAME_SIZE]) {
    return FilterBankReadIndexAt(FilterBankPath(), capacity, count, names);
}

int FilterBankReadFilter(int index, char name[FILTER_NAME_SIZE], int* count) {
    return FilterBankReadFilterAt(FilterBankPath(), index, name, count);
}

int FilterBankReadIndexAt(const std::string& path, int capacity, int* count, char (*names)[FILTER_NAME_SIZE]) {
    File file(path);
    if (!file) return FILTER_BANK_ERR_OPEN;
    int32_t n = 0;
    if (!file.readInt32(&n)) return FILTER_BANK_ERR_READ;
    *count = n;
    if (n > capacity) return FILTER_BANK_ERR_RANGE;
    for (int32_t i = 0; i < n; ++i) {
        int32_t position = 0, coefficients = 0;
        if (!file.read(names[i], FILTER_NAME_SIZE) || !file.readInt32(&position) || !file.readInt32(&coefficients))
            return FILTER_BANK_ERR_READ;
    }
    return FILTER_BANK_OK;
}

int FilterBankReadFilterAt(const std::string& path, int index, char name[FILTER_NAME_SIZE], int* count) {
    BankCoefficientCount = 0;
    name[0] = '\0';
    File file(path);
    if (!file) return FILTER_BANK_ERR_OPEN;
    int32_t n = 0;
    if (!file.readInt32(&n)) return FILTER_BANK_ERR_READ;
    if (index < 0 || index >= n) return FILTER_BANK_ERR_RANGE;
    int32_t position = 0, k = 0;
    if (!file.seek(4 + ENTRY_BYTES * static_cast<long long>(index)) || !file.read(name, FILTER_NAME_SIZE) ||
        !file.readInt32(&position) || !file.readInt32(&k))
        return FILTER_BANK_ERR_READ;
    *count = k;
    // A negative count would read nothing sensible: refused like a count that is too large.
    if (k > FIR_MAX_COEFFICIENTS || k < 0) return FILTER_BANK_ERR_TOO_LONG;
    BankCoefficientCount = k;
    if (k == 0) return FILTER_BANK_OK;
    if (!file.seek(position)) return FILTER_BANK_ERR_READ;
    for (int32_t i = 0; i < k; ++i) {
        unsigned char b[8];
        if (!file.read(b, 8)) return FILTER_BANK_ERR_READ;
        uint64_t bits = 0;
        for (int byte = 7; byte >= 0; --byte) bits = bits << 8 | b[byte];
        std::memcpy(&BankCoefficients[i], &bits, sizeof bits);
    }
    return FILTER_BANK_OK;
}
