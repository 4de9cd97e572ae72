#include "tools/filter_files.h"

#include <locale.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "dsp/filter_bank.h"
#include "dsp/fir_file.h"

namespace {

void put32(std::string& out, int32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
}

void putDouble(std::string& out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; ++i) out += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

bool writeFile(const std::string& path, const std::string& bytes, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool WriteFirFile(const std::string& path, const std::string& description, const std::vector<double>& coefficients,
                  std::string& error) {
    if (description.size() > FIR_DESCRIPTION_SIZE - 2 || description.find_first_of(";\r\n") != std::string::npos) {
        error = "a description must be one line of at most 126 characters without ';'";
        return false;
    }
    if (coefficients.size() > FIR_MAX_COEFFICIENTS) {
        error = "a filter holds at most " + std::to_string(FIR_MAX_COEFFICIENTS) + " coefficients";
        return false;
    }
    std::string text = ";" + description + "\n";
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const locale_t old = uselocale(cLocale);
    char buf[40];
    for (double c : coefficients) {
        std::snprintf(buf, sizeof buf, "%.17g\n", c);  // every double reads back exactly
        text += buf;
    }
    uselocale(old);
    return writeFile(path, text, error);
}

bool ReadFirForBank(const std::string& path, BankFilter& filter, std::string& error) {
    char description[FIR_DESCRIPTION_SIZE];
    int count = 0;
    const int result = FirFileRead(path.c_str(), description, &count);
    if (result != FIR_FILE_OK) {
        error = path + ": " + FirReadMessage(result);
        return false;
    }
    filter.name = description[0] ? description : std::filesystem::path(path).stem().string();
    // The description's leading blank (";  text") is the writer's style, not part of the name.
    const size_t start = filter.name.find_first_not_of(' ');
    filter.name = start == std::string::npos ? std::filesystem::path(path).stem().string() : filter.name.substr(start);
    filter.coefficients.assign(UserCoefficients, UserCoefficients + count);
    return true;
}

bool WriteBank(const std::string& path, const std::vector<BankFilter>& filters, std::string& error) {
    if (filters.size() > FILTER_BANK_LISTED) {
        error = "a bank holds at most " + std::to_string(FILTER_BANK_LISTED) +
                " filters (the program lists none of a larger one)";
        return false;
    }
    std::string bytes;
    put32(bytes, static_cast<int32_t>(filters.size()));
    int64_t position = FILTER_BANK_HEADER_SIZE + FILTER_INDEX_ENTRY_SIZE * static_cast<int64_t>(filters.size());
    for (const BankFilter& f : filters) {
        if (f.name.size() > FILTER_NAME_SIZE - 1 || f.name.find('\0') != std::string::npos) {
            error = "the name \"" + f.name.substr(0, 40) + "...\" is longer than " +
                    std::to_string(FILTER_NAME_SIZE - 1) + " bytes";
            return false;
        }
        if (f.coefficients.size() > FIR_MAX_COEFFICIENTS) {
            error =
                "the filter \"" + f.name + "\" has more than " + std::to_string(FIR_MAX_COEFFICIENTS) + " coefficients";
            return false;
        }
        std::string name = f.name;
        name.resize(FILTER_NAME_SIZE, '\0');
        bytes += name;
        put32(bytes, static_cast<int32_t>(position));
        put32(bytes, static_cast<int32_t>(f.coefficients.size()));
        position += 8 * static_cast<int64_t>(f.coefficients.size());
    }
    for (const BankFilter& f : filters)
        for (double c : f.coefficients) putDouble(bytes, c);
    return writeFile(path, bytes, error);
}

bool ReadBank(const std::string& path, std::vector<BankFilter>& filters, std::string& error) {
    static char names[FILTER_BANK_LISTED][FILTER_NAME_SIZE];
    int count = 0;
    int result = FilterBankReadIndexAt(path, FILTER_BANK_LISTED, &count, names);
    if (result != FILTER_BANK_OK) {
        error = BankReadMessage(result);
        if (result == FILTER_BANK_ERR_RANGE) error += " (it holds " + std::to_string(count) + ")";
        return false;
    }
    filters.clear();
    for (int i = 0; i < count; ++i) {
        char name[FILTER_NAME_SIZE];
        int k = 0;
        result = FilterBankReadFilterAt(path, i, name, &k);
        if (result != FILTER_BANK_OK) {
            error = "filter " + std::to_string(i) + ": " + BankReadMessage(result);
            return false;
        }
        filters.push_back({FilterNameText(name), std::vector<double>(BankCoefficients, BankCoefficients + k)});
    }
    return true;
}

bool ImportPlainText(const std::string& path, std::vector<double>& coefficients, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    coefficients.clear();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        const size_t last = line.find_last_not_of(" \t");
        const std::string value = line.substr(first, last - first + 1);
        char* end = nullptr;
        errno = 0;
        const double v = strtod_l(value.c_str(), &end, cLocale);
        if (end == value.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
            error = path + ", line " + std::to_string(number) + ": \"" + value.substr(0, 40) + "\" is not a number";
            return false;
        }
        if (coefficients.size() == FIR_MAX_COEFFICIENTS) {
            error = path + ": more than " + std::to_string(FIR_MAX_COEFFICIENTS) + " values";
            return false;
        }
        coefficients.push_back(v);
    }
    return true;
}

std::string BankReadMessage(int code) {
    switch (code) {
    case FILTER_BANK_OK: return "the bank is fine";
    case FILTER_BANK_ERR_OPEN: return "the bank cannot be opened";
    case FILTER_BANK_ERR_READ: return "the bank is shorter than its index says (or a coefficient position is invalid)";
    case FILTER_BANK_ERR_RANGE:
        return "the bank holds more than " + std::to_string(FILTER_BANK_LISTED) +
               " filters, so the program lists none of them";
    case FILTER_BANK_ERR_TOO_LONG:
        return "a filter has more than " + std::to_string(FIR_MAX_COEFFICIENTS) + " coefficients (or a negative count)";
    }
    return "unknown result " + std::to_string(code);
}

std::string FirReadMessage(int code) {
    switch (code) {
    case FIR_FILE_OK: return "the file is fine";
    case FIR_FILE_ERR_OPEN: return "the file cannot be opened";
    case FIR_FILE_ERR_TOO_MANY: return "the file holds more than " + std::to_string(FIR_MAX_COEFFICIENTS) + " values";
    case FIR_FILE_ERR_DESCRIPTION: return "the description line is longer than 126 characters";
    }
    return "unknown result " + std::to_string(code);
}
