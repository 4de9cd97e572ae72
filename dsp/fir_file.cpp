#include "dsp/fir_file.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

double UserCoefficients[FIR_MAX_COEFFICIENTS];
int32_t UserCoefficientCount = 0;

namespace {

constexpr size_t kMaxDescriptionLength = FIR_DESCRIPTION_SIZE - 2;

enum class LineResult { Line, End, Error };

// Lines are taken in pieces of at most this many characters, a newline counted in; each piece is a line of
// its own. Nothing longer is ever held, however long a line is.
constexpr size_t kPieceLength = 511;

// The next piece, without its LF or CR LF. Its text ends at a zero byte, as it would in a C string.
LineResult ReadPiece(std::FILE* f, std::string& line) {
    char piece[kPieceLength];
    size_t length = 0;
    bool ended = false;
    while (length < kPieceLength) {
        int c = std::getc(f);
        if (c == EOF) break;
        if (c == '\r') {
            const int next = std::getc(f);
            if (next == '\n' || next == EOF)
                c = '\n';
            else
                std::ungetc(next, f);
        }
        if (c == '\n') {
            ended = true;
            break;
        }
        piece[length++] = static_cast<char>(c);
    }
    if (std::ferror(f)) return LineResult::Error;
    if (length == 0 && !ended) return LineResult::End;
    line.assign(piece, strnlen(piece, length));
    return LineResult::Line;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The C locale's white space, whatever locale the process runs in.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// The longest leading decimal number of the token (sign, digits with at most one point,
// exponent letter e, E, d or D); 0.0 when the token does not start with one. The number is
// rewritten with an 'e' exponent and converted in the C locale, so a German or French
// locale, where the decimal point is a comma, reads the same values.
double TokenValue(const char* p, const char* end) {
    while (p < end && IsSpace(*p)) ++p;
    std::string number;
    if (p < end && (*p == '+' || *p == '-')) number.push_back(*p++);
    size_t digits = 0;
    while (p < end && IsDigit(*p)) number.push_back(*p++), ++digits;
    if (p < end && *p == '.') {
        number.push_back(*p++);
        while (p < end && IsDigit(*p)) number.push_back(*p++), ++digits;
    }
    if (digits == 0) return 0.0;
    if (p < end && (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D')) {
        const char* q = p + 1;
        std::string exponent = "e";
        if (q < end && (*q == '+' || *q == '-')) exponent.push_back(*q++);
        if (q < end && IsDigit(*q)) {
            while (q < end && IsDigit(*q)) exponent.push_back(*q++);
            number += exponent;
        }
    }
    const locale_t c = CLocale();
    if (c == static_cast<locale_t>(nullptr)) return 0.0;
    return strtod_l(number.c_str(), nullptr, c);
}

bool IsSeparator(char c) {
    return c == ' ' || c == ',' || c == '\t' || c == '\n';
}

// Stores the line's values; false when the 1001st would be stored.
bool StoreValues(const std::string& line) {
    const char* p = line.data();
    const char* end = p + line.size();
    for (;;) {
        while (p < end && IsSeparator(*p)) ++p;
        if (p == end) return true;
        const char* start = p;
        while (p < end && !IsSeparator(*p)) ++p;
        if (UserCoefficientCount >= FIR_MAX_COEFFICIENTS) return false;
        UserCoefficients[UserCoefficientCount++] = TokenValue(start, p);
    }
}

// The text between the leading ';' characters and the next ';'.
std::string DescriptionOf(const std::string& line) {
    const size_t start = line.find_first_not_of(';');
    if (start == std::string::npos) return std::string();
    const size_t stop = line.find(';', start);
    return line.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
}

// Only a regular file: a FIFO would block the caller and /dev/zero never end. Opened without blocking, so
// that a FIFO is refused rather than waited on.
std::FILE* OpenRegular(const char* path) {
    if (!path) return nullptr;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "rb");
    if (!f) ::close(fd);
    return f;
}

class TextFile {
public:
    explicit TextFile(const char* path) : f_(OpenRegular(path)) {}
    ~TextFile() {
        if (f_) std::fclose(f_);
    }
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    std::FILE* get() const { return f_; }

private:
    std::FILE* f_;
};

}  // namespace

int FirFileRead(const char* path, char description[FIR_DESCRIPTION_SIZE], int* count) {
    UserCoefficientCount = 0;
    description[0] = '\0';
    TextFile file(path);
    if (!file.get()) return FIR_FILE_ERR_OPEN;

    bool described = false;
    std::string line;
    for (;;) {
        const LineResult r = ReadPiece(file.get(), line);
        // A file that cannot be read (an I/O error) is not an empty filter.
        if (r == LineResult::Error) return FIR_FILE_ERR_OPEN;
        if (r == LineResult::End) break;
        if (!line.empty() && line[0] == ';') {
            if (described) continue;
            const std::string text = DescriptionOf(line);
            if (text.size() > kMaxDescriptionLength) return FIR_FILE_ERR_DESCRIPTION;
            std::memcpy(description, text.data(), text.size());
            description[text.size()] = '\0';
            described = true;
        } else if (!StoreValues(line)) {
            return FIR_FILE_ERR_TOO_MANY;
        }
    }
    *count = UserCoefficientCount;
    return FIR_FILE_OK;
}
