#include "engine/wave_engine.h"

#include <QCoreApplication>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/device/audio_device.h"
#include "engine/wave_file.h"

int16_t* InputRing = nullptr;
int16_t* OutputRing = nullptr;
WaveFormat audioFormat = {};

namespace {

// The hidden window: receives the devices' done notifications on the UI thread.
class WaveWindow : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != WaveDoneEvent::eventType()) return QObject::event(e);
        auto* done = static_cast<WaveDoneEvent*>(e);
        ++m_nDepth;
        WaveWndProc(this, done->message, 0, reinterpret_cast<intptr_t>(done->header));
        // Closed from a message box's nested loop inside one of its own handlers: the outermost one frees it.
        // A deferred delete would not do, as it runs inside the very nested loop that asked for it.
        if (--m_nDepth == 0 && m_bClosed) delete this;
        return true;
    }
    int m_nDepth = 0;  // > 0 while one of its notifications is being handled
    bool m_bClosed = false;  // detached from the engine, waiting for its handlers to return
};

bool initialised = false;
WaveNotifyProc notifyProc = nullptr;
WaveWindow* hiddenWindow = nullptr;
WaveDevice* captureDevice = nullptr;
WaveDevice* playbackDevice = nullptr;
bool captureOpen = false;
bool playbackOpen = false;
bool captureStarted = false;
bool playbackStarted = false;
int fileOutput = 0;
int inputQueueIndex = 0;
int inputReadIndex = 0;
int outputWriteIndex = 0;
int outputQueueIndex = 0;
int playIndex = -1;
int startupCount = 0;
WaveHeader* inputHeaders[WAVE_NUM_BLOCKS] = {};
WaveHeader* outputHeaders[WAVE_NUM_BLOCKS] = {};
// Samples the devices lost during this run (WaveInit to WaveExit), taken from each device as it closes.
uint64_t lostCaptureSamples = 0;
uint64_t lostPlaybackSamples = 0;

int advance(int index) {
    return index == WAVE_NUM_BLOCKS - 1 ? 0 : index + 1;
}

void notify(int code, int inputBlock = 0, int outputBlock = 0) {
    if (notifyProc) notifyProc(code, inputBlock, outputBlock);
}

void releaseRing(int16_t*& ring, WaveHeader* (&headers)[WAVE_NUM_BLOCKS]) {
    for (WaveHeader*& header : headers) {
        std::free(header);
        header = nullptr;
    }
    std::free(ring);
    ring = nullptr;
}

// A zero-filled ring and its 8 headers.
int allocateRing(int16_t*& ring, WaveHeader* (&headers)[WAVE_NUM_BLOCKS]) {
    ring = static_cast<int16_t*>(std::calloc(WAVE_RING_SAMPLES, sizeof(int16_t)));
    if (!ring) return WAVE_OPEN_ERR_RING;
    for (int k = 0; k < WAVE_NUM_BLOCKS; ++k) {
        headers[k] = static_cast<WaveHeader*>(std::calloc(1, sizeof(WaveHeader)));
        if (!headers[k]) {
            releaseRing(ring, headers);
            return WAVE_OPEN_ERR_HEADER;
        }
        headers[k]->lpData = ring + k * WAVE_BLOCK_SAMPLES;
        headers[k]->dwBufferLength = WAVE_BLOCK_BYTES;
        headers[k]->dwLoops = 1;
    }
    return WAVE_OK;
}

bool isOneOf(const WaveHeader* header, WaveHeader* const (&headers)[WAVE_NUM_BLOCKS]) {
    for (const WaveHeader* h : headers)
        if (h && h == header) return true;
    return false;
}

void closeWaveFile() {
    WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0);
    fileOutput = 0;
}

long captureDone(WaveHeader* h) {
    if (captureDevice->unprepare(h) != 0) {
        notify(WAVE_ERR_IN_UNPREPARE);
        return 0;
    }
    if (!captureStarted) return 1;  // handed back by WaveInStop

    WaveHeader* requeue = inputHeaders[inputQueueIndex];
    requeue->dwFlags = 0;
    if (captureDevice->prepare(requeue) != 0) {
        notify(WAVE_ERR_IN_PREPARE);
        return 0;
    }
    if (captureDevice->queue(requeue) != 0) {
        notify(WAVE_ERR_IN_ADDBUFFER);
        return 0;
    }
    inputQueueIndex = advance(inputQueueIndex);

    // Nothing left to play, or all 8 blocks waiting to play: the rings no longer keep pace.
    if (outputWriteIndex == playIndex) {
        notify(WAVE_ERR_OVERFLOW);
        return 0;
    }
    notify(WAVE_BLOCK_READY, inputReadIndex, outputWriteIndex);
    inputReadIndex = advance(inputReadIndex);
    outputWriteIndex = advance(outputWriteIndex);
    if (startupCount < 5) ++startupCount;

    if (playbackStarted && startupCount >= 2) {
        do {
            WaveHeader* out = outputHeaders[outputQueueIndex];
            out->dwFlags = 0;
            if (playbackDevice->prepare(out) != 0) {
                notify(WAVE_ERR_OUT_PREPARE);
                return 0;
            }
            if (playIndex < 0) playIndex = 0;
            if (playbackDevice->queue(out) != 0) {
                notify(WAVE_ERR_OUT_WRITE);
                return 0;
            }
            outputQueueIndex = advance(outputQueueIndex);
            if (startupCount < 5) ++startupCount;
        } while (startupCount == 3);
    }
    return 1;
}

long playbackDone(WaveHeader* h) {
    bool diskFull = false;
    if (playbackStarted && fileOutput == 1) {
        int result = WaveFile(WAVE_FILE_WRITE, nullptr, h->lpData, WAVE_BLOCK_BYTES);
        if (result == WAVE_FILE_ERR_FULL) {
            closeWaveFile();
            diskFull = true;
        } else if (result != WAVE_FILE_OK) {
            fileOutput = 0;
            notify(WAVE_ERR_FILE_WRITE);
            return 0;
        }
    }
    if (playbackDevice->unprepare(h) != 0) {
        // The file output has ended all the same: the user hears of it before the error that ends the function.
        if (diskFull) notify(WAVE_ERR_FILE_FULL);
        notify(WAVE_ERR_OUT_UNPREPARE);
        return 0;
    }
    playIndex = advance(playIndex < 0 ? WAVE_NUM_BLOCKS - 1 : playIndex);
    // The notice runs a nested loop for as long as a person reads it: the ring comes round meanwhile and
    // this block is queued again, so the block is released first and not touched afterwards.
    if (diskFull) notify(WAVE_ERR_FILE_FULL);
    return 1;
}

// Opens one direction's device on a fresh ring; on failure nothing of it is left.
int openDirection(WaveDirection direction, int device, int16_t*& ring, WaveHeader* (&headers)[WAVE_NUM_BLOCKS],
                  WaveDevice*& opened) {
    if (int r = allocateRing(ring, headers)) return r;
    opened = WaveBackend().open(direction, device, audioFormat, hiddenWindow);
    if (!opened) {
        releaseRing(ring, headers);
        return WAVE_OPEN_ERR_DEVICE;
    }
    return WAVE_OK;
}

// The device hands back every queued block; their done messages then find the direction stopped.
int stopDirection(WaveDevice* device, bool& started) {
    if (!initialised || !started) return WAVE_ERR_STATE;
    started = false;
    if (device->reset() != 0) {
        started = true;
        return WAVE_STOP_ERR_RESET;
    }
    return WAVE_OK;
}

int closeDirection(WaveDevice*& device, int16_t*& ring, WaveHeader* (&headers)[WAVE_NUM_BLOCKS], bool& open,
                   uint64_t& lost) {
    if (device->close() != 0) return WAVE_CLOSE_ERR_DEVICE;
    lost += device->lostSamples();
    delete device;
    device = nullptr;
    releaseRing(ring, headers);
    open = false;
    return WAVE_OK;
}

}  // namespace

int WaveInit(QObject* parent, WaveNotifyProc proc) {
    (void)parent;  // the hidden window never outlives WaveExit, so it needs no Qt parent
    if (initialised) return WAVE_ERR_STATE;
    notifyProc = proc;
    audioFormat = WAVE_PCM_MONO_11025;
    lostCaptureSamples = 0;
    lostPlaybackSamples = 0;
    hiddenWindow = new WaveWindow;
    initialised = true;
    return WAVE_OK;
}

int WaveExit() {
    if (!initialised || captureOpen || playbackOpen || playbackStarted || captureStarted) return WAVE_ERR_STATE;
    WaveWndProc(hiddenWindow, WM_CLOSE, 0, 0);
    initialised = false;
    // A gap in the sound does not stop the function, but the user should know of it.
    if (lostCaptureSamples + lostPlaybackSamples > 0)
        WaveSay(std::to_string(lostCaptureSamples + lostPlaybackSamples) +
                " samples were lost at the sound device during the function (capture overruns: " +
                std::to_string(lostCaptureSamples) + ", playback underruns: " + std::to_string(lostPlaybackSamples) +
                ")");
    return WAVE_OK;
}

int WaveInOpen(int device) {
    if (!initialised || captureOpen) return WAVE_ERR_STATE;
    if (int r = openDirection(WaveDirection::Capture, device, InputRing, inputHeaders, captureDevice)) return r;
    captureOpen = true;
    return WAVE_OK;
}

int WaveOutOpen(int device, int mode, const char* path) {
    if (!initialised || playbackOpen) return WAVE_ERR_STATE;
    fileOutput = mode == 1 ? 1 : 0;
    if (fileOutput == 1 && WaveFile(WAVE_FILE_CREATE, path, nullptr, 0) != WAVE_FILE_OK) {
        fileOutput = 0;
        return WAVE_OUT_OPEN_ERR_FILE;
    }
    if (int r = openDirection(WaveDirection::Playback, device, OutputRing, outputHeaders, playbackDevice)) {
        if (fileOutput == 1) closeWaveFile();
        return r;
    }
    playbackOpen = true;
    return WAVE_OK;
}

int WaveInStart() {
    if (!initialised || !captureOpen || captureStarted) return WAVE_ERR_STATE;
    inputReadIndex = 0;
    inputQueueIndex = 0;
    std::memset(InputRing, 0, WAVE_RING_SAMPLES * sizeof(int16_t));
    for (int k = 0; k < 2; ++k) {
        WaveHeader* header = inputHeaders[inputQueueIndex];
        header->dwFlags = 0;
        if (captureDevice->prepare(header) != 0) return WAVE_IN_START_ERR_PREPARE;
        if (captureDevice->queue(header) != 0) return WAVE_IN_START_ERR_ADDBUFFER;
        inputQueueIndex = advance(inputQueueIndex);
    }
    captureStarted = true;
    if (captureDevice->start() != 0) {
        captureStarted = false;
        return WAVE_IN_START_ERR_START;
    }
    return WAVE_OK;
}

int WaveInStop() {
    return stopDirection(captureDevice, captureStarted);
}

int WaveInClose() {
    if (!initialised || !captureOpen || captureStarted) return WAVE_ERR_STATE;
    // After a failed WaveInStart the device still holds the blocks queued before the failure and
    // would refuse to close for good; hand them back first (a no-op after WaveInStop).
    captureDevice->reset();
    return closeDirection(captureDevice, InputRing, inputHeaders, captureOpen, lostCaptureSamples);
}

int WaveOutStart() {
    if (!initialised || !playbackOpen || playbackStarted) return WAVE_ERR_STATE;
    startupCount = 0;
    playIndex = -1;
    outputWriteIndex = 0;
    outputQueueIndex = 0;
    std::memset(OutputRing, 0, WAVE_RING_SAMPLES * sizeof(int16_t));
    playbackStarted = true;
    return WAVE_OK;
}

int WaveOutStop() {
    return stopDirection(playbackDevice, playbackStarted);
}

int WaveOutClose() {
    if (!initialised || !playbackOpen || captureStarted) return WAVE_ERR_STATE;
    bool fileFailed = false;
    if (fileOutput == 1) {
        fileFailed = WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0) != WAVE_FILE_OK;
        fileOutput = 0;
    }
    // The file is closed whatever happened to it; a device left open would keep every later function out.
    int result = closeDirection(playbackDevice, OutputRing, outputHeaders, playbackOpen, lostPlaybackSamples);
    // Armed with nothing queued yet, the device lets go: without a device there is nothing left to stop,
    // and a flag left set would keep WaveExit refusing and send WaveOutStop to a device that is gone.
    if (result == WAVE_OK) playbackStarted = false;
    return fileFailed ? WAVE_OUT_CLOSE_ERR_FILE : result;
}

long WaveWndProc(QObject* window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    (void)wParam;
    auto* self = static_cast<WaveWindow*>(window);
    if (self == nullptr || self != hiddenWindow) return 0;  // a window already destroyed
    switch (message) {
    case WM_CLOSE:
        // Notifications still queued for the window die with it.
        QCoreApplication::removePostedEvents(self);
        hiddenWindow = nullptr;
        if (self->m_nDepth > 0)
            self->m_bClosed = true;
        else
            delete self;
        return 1;
    case MM_WIM_DATA: {
        auto* header = reinterpret_cast<WaveHeader*>(lParam);
        // A block of a capture device already closed: nothing of it is left to release.
        if (!captureOpen || !isOneOf(header, inputHeaders)) return 1;
        return captureDone(header);
    }
    case MM_WOM_DONE: {
        auto* header = reinterpret_cast<WaveHeader*>(lParam);
        if (!playbackOpen || !isOneOf(header, outputHeaders)) return 1;
        return playbackDone(header);
    }
    default: return 0;
    }
}
