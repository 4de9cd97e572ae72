#pragma once
// The audio stream engine: capture and playback in 2048-sample blocks through two rings of 8 blocks,
// a notification procedure called for every captured block, playback two blocks behind capture,
// and the WAV file of the played blocks. Everything runs on the UI thread.
#include <QObject>
#include <cstdint>

#include "engine/wave_format.h"

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

// Results of the calls below. Every call gives WAVE_OK, or WAVE_ERR_STATE when made in the wrong state
// (nothing done); the others say which step failed.
enum {
    WAVE_OK = 0,
    WAVE_ERR_STATE = 1,
    // WaveInOpen, WaveOutOpen
    WAVE_OPEN_ERR_RING = 2,  // no memory for the ring
    WAVE_OPEN_ERR_HEADER = 3,  // no memory for a block header
    WAVE_OPEN_ERR_DEVICE = 101,  // the device cannot be opened
    WAVE_OUT_OPEN_ERR_FILE = 102,  // WaveOutOpen: the WAV file cannot be created
    // WaveInStart
    WAVE_IN_START_ERR_PREPARE = 102,
    WAVE_IN_START_ERR_ADDBUFFER = 103,
    WAVE_IN_START_ERR_START = 104,
    // WaveInStop, WaveOutStop
    WAVE_STOP_ERR_RESET = 101,  // the device did not stop: still running
    // WaveInClose, WaveOutClose
    WAVE_CLOSE_ERR_DEVICE = 101,  // the device refused to close: still open
    WAVE_OUT_CLOSE_ERR_FILE = 102,  // WaveOutClose: finishing the WAV file failed (it may be incomplete);
                                    // the device was still closed unless it refused, as for 101
};

// (code, input block, output block); the result is ignored.
using WaveNotifyProc = int (*)(int code, int inputBlock, int outputBlock);

// The two rings, 16384 samples each; null while their direction is closed.
extern int16_t* InputRing;
extern int16_t* OutputRing;
extern WaveFormat audioFormat;

// parent: the running function's window. The hidden window that receives the devices' notifications
// belongs to the engine alone. WaveExit destroys it, or, when called from a nested loop inside one of its
// handlers, detaches it at once and frees it as that handler returns.
int WaveInit(QObject* parent, WaveNotifyProc notifyProc);
// Ends the run; if the devices lost samples during it, says how many in one line on stderr.
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
