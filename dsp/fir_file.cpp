#include "dsp/fir_file.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>

double UserCoefficients[FIR_MAX_COEFFICIENTS];
int32_t UserCoefficientCount = 0;

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The longest leading decimal number of a token: sign, digits with at most one '.', an exponent
// introduced by e, E, d or D. Converted in the C locale whatever the process locale is (a GUI
// sets it from the environment, and "0.5" must not turn into 0 where the decimal mark is ",").
double parseNumber(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    std::string text;
    if (*p == '+' || *p == '-') text += *p++;
    int digits = 0;
    while (isDigit(*p)) text += *p++, ++digits;
    if (*p == '.') {
        text += *p++;
        while (isDigit(*p)) text += *p++, ++digits;
    }
    if (digits == 0) return 0.0;
    if (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D') {
        const char* q = p + 1;
        std::string exponent = "e";
        if (*q == '+' || *q == '-') exponent += *q++;
        if (isDigit(*q)) {
            while (isDigit(*q)) exponent += *q++;
            text += exponent;
        }
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    return cLocale ? strtod_l(text.c_str(), nullptr, cLocale) : std::strtod(text.c_str(), nullptr);
}

bool isSeparator(char c) {
    return c == ' ' || c == ',' || c == '\t' || c == '\n';
}

// One whole line, however long, without its LF or CR LF. False at the end of the file.
bool readLine(std::FILE* file, std::string& line) {
    line.clear();
    int c;
    bool any = false;
    while ((c = std::fgetc(file)) != EOF) {
        any = true;
        if (c == '\n') break;
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

}  // namespace

int FirFileRead(const char* path, char description[FIR_DESCRIPTION_SIZE], int* count) {
    UserCoefficientCount = 0;
    description[0] = '\0';
    std::FILE* file = path ? std::fopen(path, "rb") : nullptr;
    if (!file) return FIR_FILE_ERR_OPEN;
    bool descriptionTaken = false;
    std::string line;
    while (readLine(file, line)) {
        if (!line.empty() && line[0] == ';') {
            if (descriptionTaken) continue;
            // The text after the leading ';'s, up to the next ';'.
            const size_t start = line.find_first_not_of(';');
            const std::string text =
                start == std::string::npos ? std::string() : line.substr(start, line.find(';', start) - start);
            if (text.size() >= FIR_DESCRIPTION_SIZE - 1) {
                std::fclose(file);
                return FIR_FILE_ERR_DESCRIPTION;
            }
            std::memcpy(description, text.c_str(), text.size() + 1);
            descriptionTaken = true;
            continue;
        }
        size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && isSeparator(line[i])) ++i;
            if (i >= line.size()) break;
            size_t end = i;
            while (end < line.size() && !isSeparator(line[end])) ++end;
            if (UserCoefficientCount == FIR_MAX_COEFFICIENTS) {
                std::fclose(file);
                return FIR_FILE_ERR_TOO_MANY;
            }
            UserCoefficients[UserCoefficientCount++] = parseNumber(line.substr(i, end - i).c_str());
            i = end;
        }
    }
    std::fclose(file);
    *count = UserCoefficientCount;
    return FIR_FILE_OK;
}
