#include "engine/wave_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "engine/wave_format.h"

namespace {

constexpr off_t RIFF_SIZE_OFFSET = 4;
constexpr off_t DATA_SIZE_OFFSET = 42;
constexpr off_t HEADER_BYTES = 46;
static_assert(WAVE_FILE_MAX_DATA_BYTES == 0xFFFFFFFFull - (HEADER_BYTES - 8));

int fileHandle = -1;
bool ownHandle = true;  // false: the caller's descriptor, not closed here
uint64_t dataBytes = 0;  // whole blocks written so far
bool writeFailed = false;

bool writeAll(int fd, const void* data, size_t length, off_t offset) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = pwrite(fd, p, length, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool writeSize(off_t offset, uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return writeAll(fileHandle, bytes, 4, offset);
}

// Sizes that describe exactly the blocks written so far, so the file is valid at any moment.
bool writeSizes() {
    return writeSize(DATA_SIZE_OFFSET, static_cast<uint32_t>(dataBytes)) &&
           writeSize(RIFF_SIZE_OFFSET, static_cast<uint32_t>(HEADER_BYTES - 8 + dataBytes));
}

void closeFile() {
    if (fileHandle >= 0 && ownHandle) ::close(fileHandle);
    fileHandle = -1;
    ownHandle = true;
}

int writeHeader() {
    static const char riff[12] = {'R', 'I', 'F', 'F', 38, 0, 0, 0, 'W', 'A', 'V', 'E'};
    if (!writeAll(fileHandle, riff, sizeof riff, 0)) return closeFile(), WAVE_FILE_ERR_RIFF;
    static const char fmt[8] = {'f', 'm', 't', ' ', WAVE_FORMAT_BYTES, 0, 0, 0};
    if (!writeAll(fileHandle, fmt, sizeof fmt, 12)) return closeFile(), WAVE_FILE_ERR_FMT_CHUNK;
    uint8_t format[WAVE_FORMAT_BYTES];
    WaveFormatBytes(WAVE_PCM_MONO_11025, format);
    if (!writeAll(fileHandle, format, sizeof format, 20)) return closeFile(), WAVE_FILE_ERR_FMT;
    static const char data[8] = {'d', 'a', 't', 'a', 0, 0, 0, 0};
    if (!writeAll(fileHandle, data, sizeof data, 38)) return closeFile(), WAVE_FILE_ERR_DATA_CHUNK;
    if (fdatasync(fileHandle) != 0 && errno != EINVAL && errno != EROFS) return closeFile(), WAVE_FILE_ERR_FLUSH;
    return WAVE_FILE_OK;
}

int create(const char* path) {
    writeFailed = false;
    dataBytes = 0;
    closeFile();
    if (path == nullptr || *path == '\0') return WAVE_FILE_ERR_CREATE;
    fileHandle = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fileHandle < 0) return WAVE_FILE_ERR_CREATE;
    return writeHeader();
}

int write(const void* block, int length) {
    if (fileHandle < 0 || block == nullptr || length <= 0) {
        closeFile();
        return WAVE_FILE_ERR_NO_FILE;
    }
    if (dataBytes + static_cast<uint64_t>(length) > WAVE_FILE_MAX_DATA_BYTES) {
        writeFailed = true;
        return WAVE_FILE_ERR_FULL;
    }
    off_t end = HEADER_BYTES + static_cast<off_t>(dataBytes);
    if (!writeAll(fileHandle, block, static_cast<size_t>(length), end)) {
        // A full disk may take part of the block: cut it off so the sizes cover the whole file.
        if (ftruncate(fileHandle, end) != 0) { /* the sizes still describe only whole blocks */
        }
        writeFailed = true;
        return WAVE_FILE_ERR_FULL;
    }
    dataBytes += static_cast<uint64_t>(length);
    // A failure here leaves the old sizes, which still describe a valid prefix; the close retries.
    writeSizes();
    return WAVE_FILE_OK;
}

int close() {
    if (fileHandle < 0) return WAVE_FILE_OK;
    int result = WAVE_FILE_OK;
    if (!writeSize(DATA_SIZE_OFFSET, static_cast<uint32_t>(dataBytes)))
        result = WAVE_FILE_ERR_DATA_SIZE;
    else if (!writeSize(RIFF_SIZE_OFFSET, static_cast<uint32_t>(HEADER_BYTES - 8 + dataBytes)))
        result = WAVE_FILE_ERR_RIFF_SIZE;
    closeFile();
    return result;
}

}  // namespace

int WaveFile(int command, const char* fileName, const void* blockData, int blockLength) {
    switch (command) {
    case WAVE_FILE_WRITE: return write(blockData, blockLength);
    case WAVE_FILE_CREATE: return create(fileName);
    case WAVE_FILE_CLOSE: return close();
    default: return WAVE_FILE_OK;
    }
}

int WaveFileCreateOn(int fd) {
    writeFailed = false;
    dataBytes = 0;
    closeFile();
    if (fd < 0 || ftruncate(fd, 0) != 0) return WAVE_FILE_ERR_CREATE;
    fileHandle = fd;
    ownHandle = false;
    return writeHeader();
}
