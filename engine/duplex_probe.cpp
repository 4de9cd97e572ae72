#include "engine/duplex_probe.h"

#include "engine/device/audio_device.h"

namespace {

WaveDevice* openDevice(WaveDirection direction, int device) {
    return WaveBackend().open(direction, device, WAVE_PCM_MONO_11025, nullptr);
}

void closeDevice(WaveDevice* device) {
    device->close();
    delete device;
}

}  // namespace

int WaveProbeDevices(int device) {
    WaveDevice* capture = openDevice(WaveDirection::Capture, device);
    WaveDevice* playback = openDevice(WaveDirection::Playback, device);
    if (!capture) {
        if (!playback) return PROBE_NO_DEVICES;
        closeDevice(playback);
        return PROBE_NO_INPUT;
    }
    if (playback) {
        closeDevice(capture);
        closeDevice(playback);
        return PROBE_DUPLEX_OK;
    }
    closeDevice(capture);

    // Playback failed beside capture: try the other way round to tell why.
    playback = openDevice(WaveDirection::Playback, device);
    capture = openDevice(WaveDirection::Capture, device);
    if (playback && capture) {
        closeDevice(capture);
        closeDevice(playback);
        return PROBE_INCONSISTENT;
    }
    if (capture) {
        closeDevice(capture);
        return PROBE_NO_OUTPUT;
    }
    if (playback) {
        closeDevice(playback);
        return PROBE_NO_DUPLEX;
    }
    return PROBE_INCONSISTENT;
}
