#pragma once
// A deterministic simulated device for tests: the test decides when each capture block is filled
// (and with what), when each playback block finishes, and which device call fails.
// Done events are posted as the real device posts them; deliver them with
// QCoreApplication::sendPostedEvents() or processEvents().
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "engine/device/audio_device.h"

enum class SimOp { Open, Prepare, Unprepare, Queue, Start, Reset, Close };

class SimWaveBackend : public WaveDeviceBackend {
public:
    SimWaveBackend();  // installs itself with WaveSetBackend
    ~SimWaveBackend() override;  // restores the real backend

    WaveDevice* open(WaveDirection direction, int deviceId, const WaveFormat& format, QObject* target) override;

    // The next `times` calls of op on the given direction fail with `result`.
    void failNext(WaveDirection direction, SimOp op, int times = 1, int result = 1);
    // Every open of the direction fails until cleared (a busy or missing device).
    void setOpenFails(WaveDirection direction, bool fails);
    // Decides every open: attempt counts the opens of that direction from 1. Empty: all open.
    void setOpenRule(std::function<bool(WaveDirection direction, int attempt)> opens);

    // Fills the oldest queued capture block with samples (a block of them, or zeros when null) and posts its done
    // event. False when no capture block is queued or capture is not started.
    bool completeCapture(const int16_t* samples = nullptr);
    // The oldest queued playback block finishes: its samples are appended to played() and its done event posted.
    // False when nothing is queued.
    bool completePlayback();

    // The open device of the direction loses samples (an overrun or underrun). False when none is open.
    bool loseSamples(WaveDirection direction, uint64_t samples);

    int queuedCapture() const;
    int queuedPlayback() const;
    bool isOpen(WaveDirection direction) const;
    const std::vector<int16_t>& played() const;  // every sample that finished playing, in order
    // One line per device call, e.g. "open capture", "queue playback", "close capture -> 1".
    const QStringList& calls() const;
    void clearCalls();

    struct State;  // private to the implementation

private:
    State* d;
};

// Every later write to the file the process has open at path fails as on a full disk: /dev/full takes the
// place of its descriptor. False when no descriptor of the process names that file.
bool FailWritesToOpenFile(const QString& path);
