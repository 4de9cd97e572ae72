#pragma once
// The WAV output file: RIFF "WAVE", 18-byte "fmt " chunk, "data" chunk of 16-bit mono PCM at 11025 Hz,
// written one played block at a time. At most one file open at a time.
enum {
    WAVE_FILE_WRITE = 1,
    WAVE_FILE_CREATE = 2,
    WAVE_FILE_CLOSE = 3,
};

// Results, per command; other commands return WAVE_FILE_OK.
enum {
    WAVE_FILE_OK = 0,
    // write
    WAVE_FILE_ERR_NO_FILE = 101,  // no file open, or no block: the file is closed
    WAVE_FILE_ERR_FULL = 102,  // the block did not fit (disk full, or past 4 GiB): the file stays open
    // create
    WAVE_FILE_ERR_CREATE = 103,  // the file cannot be created
    WAVE_FILE_ERR_RIFF = 104,  // writing the header failed at the RIFF chunk,
    WAVE_FILE_ERR_FMT_CHUNK = 105,  // the "fmt " chunk's head,
    WAVE_FILE_ERR_FMT = 106,  // the format record,
    WAVE_FILE_ERR_DATA_CHUNK = 108,  // the "data" chunk's head,
    WAVE_FILE_ERR_FLUSH = 109,  // or flushing it to disk
    // close
    WAVE_FILE_ERR_DATA_SIZE = 110,  // the data size could not be written
    WAVE_FILE_ERR_RIFF_SIZE = 111,  // the RIFF size could not be written
};

#include <cstdint>

// The most sample bytes a file can hold: the RIFF size field is 32 bits and counts the 38 header bytes
// after it.
constexpr uint64_t WAVE_FILE_MAX_DATA_BYTES = 0xFFFFFFFFull - 38;

int WaveFile(int command, const char* fileName, const void* blockData, int blockLength);

// WAVE_FILE_CREATE on a descriptor already open for writing, at its start; closing the file leaves the
// descriptor open (its owner syncs and closes it).
int WaveFileCreateOn(int fd);
