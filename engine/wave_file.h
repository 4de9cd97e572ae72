#pragma once
// The WAV output file: RIFF "WAVE", 18-byte "fmt " chunk, "data" chunk of 16-bit mono PCM at 11025 Hz,
// written one played block at a time. At most one file open at a time.
enum {
    WAVE_FILE_WRITE = 1,
    WAVE_FILE_CREATE = 2,
    WAVE_FILE_CLOSE = 3,
};

// Results: 0 success; write 101/102; create 103-109; close 110/111. Other commands return 0.
int WaveFile(int command, const char* fileName, const void* blockData, int blockLength);
