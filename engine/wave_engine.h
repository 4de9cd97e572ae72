#pragma once
// The audio stream engine: capture and playback in 2048-sample blocks through two rings of 8 blocks,
// a notification procedure called for every captured block, playback two blocks behind capture,
// and the WAV file of the played blocks. Everything runs on the UI thread.
#include <QObject>
#include <cstdint>

#include "engine/wave_format.h"

constexpr int WAVE_BLOCK_SAMPLES = 2048;
constexpr int WAVE_BLOCK_BYTES = WAVE_BLOCK_SAMPLES * 2;
constexpr int WAVE_NUM_BLOCKS = 8;
constexpr int WAVE_RING_SAMPLES = WAVE_BLOCK_SAMPLES * WAVE_NUM_BLOCKS;
constexpr int WAVE_MAPPER = -1;

enum {
    WAVE_BLOCK_READY = 1,
    WAVE_ERR_OUT_UNPREPARE = 101,
    WAVE_ERR_OUT_PREPARE = 102,
    WAVE_ERR_OUT_WRITE = 103,
    WAVE_ERR_IN_UNPREPARE = 104,
    WAVE_ERR_IN_PREPARE = 105,
    WAVE_ERR_IN_ADDBUFFER = 106,
    WAVE_ERR_FILE_FULL = 107,
    WAVE_ERR_FILE_WRITE = 108,
    WAVE_ERR_OVERFLOW = 109,
};

// (code, input block, output block); the result is ignored.
using WaveNotifyProc = int (*)(int code, int inputBlock, int outputBlock);

// The two rings, 16384 samples each; null while their direction is closed.
extern int16_t* InputRing;
extern int16_t* OutputRing;
extern WaveFormat audioFormat;

// parent: the running function's window, owner of the hidden notification window.
int WaveInit(QObject* parent, WaveNotifyProc notifyProc);
int WaveExit();
int WaveInOpen(int device);
int WaveInStart();
int WaveInStop();
int WaveInClose();
// mode 1: also write the played blocks to the WAV file at path (read only when mode is 1).
int WaveOutOpen(int device, int mode, const char* path);
int WaveOutStart();
int WaveOutStop();
int WaveOutClose();

constexpr unsigned WM_CLOSE = 16;
// The hidden window's procedure: WM_CLOSE (16), MM_WOM_DONE (957), MM_WIM_DATA (960; lParam is the header).
long WaveWndProc(QObject* window, unsigned message, uintptr_t wParam, intptr_t lParam);
