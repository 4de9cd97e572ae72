#pragma once
// Start-up check: can capture and playback be open at the same time?
enum {
    PROBE_DUPLEX_OK = 0,
    PROBE_NO_INPUT = 1,
    PROBE_NO_OUTPUT = 2,
    PROBE_NO_DEVICES = 3,
    PROBE_NO_DUPLEX = 4,
    PROBE_INCONSISTENT = 5,
};

int WaveProbeDevices(int device);
