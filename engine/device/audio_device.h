#pragma once
// The audio device layer: what the engine and the probe rely on from a sound device.
//
// - open: one direction of the system's preferred device (id -1) at the given format. Null on failure
//   ("0 devices" is a failure). With a target, every finished block is announced by one WaveDoneEvent
//   posted to target, on the thread target lives on (the UI thread), in the order the blocks were queued.
// - prepare / unprepare / queue / start / reset / close: 0 on success, nonzero on failure.
//   queue hands the device a block: capture fills all its bytes, playback plays it; blocks come back
//   in queue order. Playback begins with the first block queued; capture only after start().
// - reset stops the device and hands back every queued block, each with its own done event.
// - close fails while blocks are queued and succeeds after a reset. The object is deleted by the
//   caller after close (or whenever it gives up on it); the destructor releases everything.
// - A device that fails or stalls while running hands back its blocks and fails the next prepare or
//   queue, so the failure surfaces through the engine's notifications instead of a silent hang.
// - lostSamples: sound lost while the device ran, in samples: captured with no block queued to take it,
//   played as silence because no block was queued, or dropped by the sound system itself.
// - The device layer prints nothing of the sound libraries' own; what the user must know and no message
//   box tells goes to stderr as one line of the program's own (WaveSay).
//
// The interface only: the real devices are backends beside it (audio_device_rtaudio.cpp,
// audio_device_pipewire.cpp), reached through the choice of sound system (sound_api.h).
//
// The RtAudio device keeps four flags (the PipeWire device the first three: it never leaves a call behind);
// these are their only combinations:
//   running_ failed_ closed_ stuck_
//      0        0       0       0    open: blocks may be queued; capture runs from start(), playback from
//                                    its first queued block
//      1        0       0       0    running: the audio thread fills or drains the queued blocks
//      0        1       0       1    failed (a report of the sound system, a stall, a call that hung): every block
//                                    handed back; prepare, queue and start refuse; the stream is left to a
//                                    helper thread and never touched again
//      0       0/1      1      0/1   closed: only unprepare works; stuck_ also when closing hung
// open -> running by start() or a first playback block; running -> open by reset(); open or running ->
// failed; any -> closed by close() once nothing is queued. Failed and closed are never left.
#include <QEvent>
#include <QObject>
#include <cstdint>
#include <string>

#include "engine/wave_format.h"

// A block header, one per ring block (the fields of the platform's WAVEHDR).
struct WaveHeader {
    int16_t* lpData;
    uint32_t dwBufferLength;  // bytes
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    uint32_t dwLoops;
    WaveHeader* lpNext;
    uintptr_t reserved;
};

enum class WaveDirection { Capture, Playback };

// Message numbers of the done notifications.
constexpr unsigned MM_WOM_DONE = 957;  // a playback block finished
constexpr unsigned MM_WIM_DATA = 960;  // a capture block was filled

class WaveDoneEvent : public QEvent {
public:
    static QEvent::Type eventType();
    WaveDoneEvent(unsigned message, WaveHeader* header) : QEvent(eventType()), message(message), header(header) {}
    unsigned message;
    WaveHeader* header;
};

// Header flags, as the platform defines them; the devices keep them on the headers they hold.
constexpr uint32_t WHDR_DONE = 0x01;  // handed back
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;  // in the device's hands

class WaveDevice {
public:
    virtual ~WaveDevice() = default;
    virtual int prepare(WaveHeader* header) = 0;
    virtual int unprepare(WaveHeader* header) = 0;
    virtual int queue(WaveHeader* header) = 0;  // waveInAddBuffer / waveOutWrite
    virtual int start() = 0;  // capture only
    virtual int reset() = 0;
    virtual int close() = 0;
    virtual uint64_t lostSamples() const { return 0; }
};

class WaveDeviceBackend {
public:
    virtual ~WaveDeviceBackend() = default;
    virtual WaveDevice* open(WaveDirection direction, int deviceId, const WaveFormat& format, QObject* target) = 0;
};

// The backend the engine and the probe use: the one installed, else one that opens nothing. The program
// installs the real sound devices (WaveSoundSystem, sound_api.h) and the tests the simulated one.
WaveDeviceBackend& WaveBackend();
// Installs a backend (not owned); null leaves none.
void WaveSetBackend(WaveDeviceBackend* backend);

// One line on stderr: "zoriq1: " and text.
void WaveSay(const std::string& text);
// The same, at most once per process for each text (a device is opened many times).
void WaveSayOnce(const std::string& text);
