#pragma once
// Which sound system the real devices go through. RtAudio on its own takes the first system that lists
// devices, which is JACK whenever a JACK server runs, even one that cannot run at our rate while a
// PulseAudio or PipeWire server beside it could. So the program chooses: PulseAudio first (it also
// serves PipeWire desktops), then ALSA, then JACK only when its server runs at the program's rate.
// ZORIQ1_AUDIO_API=pulse|alsa|jack forces one.
#include <functional>
#include <string>
#include <vector>

enum class SoundApi { None, Pulse, Alsa, Jack };

constexpr const char* SOUND_API_VARIABLE = "ZORIQ1_AUDIO_API";

// What a sound system says about itself.
struct SoundApiReport {
    unsigned devices = 0;  // devices it lists; 0 also when its server is not running
    unsigned fixedRate = 0;  // the one rate it runs at (a JACK server), 0 when it converts rates itself
};

struct SoundApiChoice {
    SoundApi api = SoundApi::None;  // None: no system can serve the program
    std::string note;               // what the user should know about the choice (a line to say), or empty
};

// forced: the variable's value (null or empty: choose). compiled: the systems this RtAudio has.
// ask: what a system reports; asked lazily, in order of preference, and only as far as needed.
SoundApiChoice ChooseSoundApi(const char* forced, const std::vector<SoundApi>& compiled, unsigned rate,
                              const std::function<SoundApiReport(SoundApi)>& ask);

const char* SoundApiName(SoundApi api);  // "pulse", "alsa", "jack"; "none"
