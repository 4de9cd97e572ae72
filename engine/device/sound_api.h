#pragma once
// Which sound system the real devices go through, and the backends that serve them. Left to itself RtAudio
// takes the first system that lists devices, which is JACK whenever a JACK server runs, even one that cannot
// run at our rate while the desktop's server beside it could. So the program chooses: PipeWire first when
// its server answers (natively, so that its timing tells what the graph lost), then PulseAudio (also
// pipewire-pulse), then ALSA, then JACK only when its server runs at the program's rate.
// ZORIQ1_AUDIO_API=pipewire|pulse|alsa|jack forces one.
#include <functional>
#include <string>
#include <vector>

#include "engine/device/audio_device.h"

enum class SoundApi { None, PipeWire, Pulse, Alsa, Jack };

constexpr const char* SOUND_API_VARIABLE = "ZORIQ1_AUDIO_API";

// What a sound system says about itself.
struct SoundApiReport {
    unsigned devices = 0;  // devices it lists; 0 also when its server is not running
    unsigned fixedRate = 0;  // the one rate it runs at (a JACK server), 0 when it converts rates itself
    bool hung = false;  // its server took the connection and then did not answer (frozen)
};

struct SoundApiChoice {
    SoundApi api = SoundApi::None;  // None: no system can serve the program
    std::string note;  // what the user should know about the choice (a line to say), or empty
};

// forced: the variable's value (null or empty: choose). compiled: the systems this build has.
// ask: what a system reports; asked lazily, in order of preference, and only as far as needed. A server
// that hangs ends the choice with None: the user's own server is frozen, and another would not be theirs.
SoundApiChoice ChooseSoundApi(const char* forced, const std::vector<SoundApi>& compiled, unsigned rate,
                              const std::function<SoundApiReport(SoundApi)>& ask);

const char* SoundApiName(SoundApi api);  // "pipewire", "pulse", "alsa", "jack"; "none"

// A backend for some of the sound systems. ask and open come back within a few seconds whatever the server does.
class SoundBackend {
public:
    virtual ~SoundBackend() = default;
    virtual std::vector<SoundApi> apis() = 0;  // the systems this build of it has
    virtual SoundApiReport ask(SoundApi api) = 0;
    virtual WaveDevice* open(SoundApi api, WaveDirection direction, int deviceId, const WaveFormat& format,
                             QObject* target) = 0;
};

SoundBackend& RtAudioSoundBackend();  // PulseAudio, ALSA, JACK (audio_device_rtaudio.cpp)
SoundBackend& PipeWireSoundBackend();  // PipeWire itself (audio_device_pipewire.cpp)

// The real sound devices: every open chooses the system anew (a server may have come or gone) and opens
// through its backend.
WaveDeviceBackend& WaveSoundSystem();
