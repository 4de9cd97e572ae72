// The real device layer without a sound server: the lock-free ring, the pump that moves samples between
// small device buffers and the queued blocks (and counts what is lost), the gate that keeps the audio
// thread out while blocks are taken back, and the choice of the sound system.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "engine/device/block_pump.h"
#include "engine/device/sound_api.h"

namespace {

TEST(SpscRing, KeepsOrderRefusesWhenFullAndWrapsAround) {
    SpscRing<int, 8> ring;
    int v = -1;
    EXPECT_FALSE(ring.pop(v));
    EXPECT_EQ(ring.front(), nullptr);
    int next = 0, expect = 0;
    // Many rounds of uneven fill and drain cross the index wrap many times.
    for (int round = 0; round < 100; ++round) {
        const int fill = 1 + round % 8;
        for (int i = 0; i < fill; ++i) ASSERT_TRUE(ring.push(next++));
        if (fill == 8) {
            EXPECT_FALSE(ring.push(999));
            EXPECT_EQ(ring.size(), 8u);
        }
        ASSERT_NE(ring.front(), nullptr);
        EXPECT_EQ(*ring.front(), expect);
        while (ring.pop(v)) ASSERT_EQ(v, expect++);
        EXPECT_TRUE(ring.empty());
    }
    EXPECT_EQ(expect, next);
}

TEST(SpscRing, TwoThreadsPassEveryItemOnceInOrder) {
    SpscRing<unsigned, 8> ring;
    constexpr unsigned kItems = 200000;
    std::thread producer([&] {
        for (unsigned i = 1; i <= kItems;) {
            if (ring.push(i))
                ++i;
            else
                std::this_thread::yield();
        }
    });
    unsigned expect = 1, v = 0, wrong = 0;
    while (expect <= kItems) {
        if (ring.pop(v)) {
            if (v != expect) ++wrong;
            expect = v + 1;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_TRUE(ring.empty());
}

// Blocks of 2048 samples over one ring, as the engine lays them out.
struct Blocks {
    explicit Blocks(int count, uint32_t bytes = 4096) : data(std::size_t(count) * bytes / 2), headers(count) {
        for (int i = 0; i < count; ++i) {
            headers[i] = WaveHeader{};
            headers[i].lpData = data.data() + std::size_t(i) * bytes / 2;
            headers[i].dwBufferLength = bytes;
        }
    }
    std::vector<int16_t> data;
    std::vector<WaveHeader> headers;
};

std::vector<WaveHeader*> drain(SpscRing<WaveHeader*, RT_MAX_QUEUED_BLOCKS>& ring) {
    std::vector<WaveHeader*> out;
    WaveHeader* h = nullptr;
    while (ring.pop(h)) out.push_back(h);
    return out;
}

TEST(BlockPump, CaptureFillsBlocksInOrderAcrossUnevenDeviceBuffers) {
    Blocks blocks(3);
    BlockPump pump;
    for (auto& h : blocks.headers) ASSERT_TRUE(pump.queued().push(&h));
    // A running counter as the captured sound, delivered in chunks that straddle block edges.
    std::vector<int16_t> sound(3 * 2048 + 100);
    for (std::size_t i = 0; i < sound.size(); ++i) sound[i] = int16_t(i * 7 + 1);
    const std::size_t chunks[] = {512, 3000, 1, 4095, 6000, 100, 5000};
    std::size_t at = 0;
    int finished = 0;
    for (std::size_t c : chunks) {
        c = std::min(c, sound.size() * 2 - at);
        finished += pump.capture(reinterpret_cast<const uint8_t*>(sound.data()) + at, c);
        at += c;
    }
    EXPECT_EQ(finished, 3);
    EXPECT_EQ(drain(pump.finished()),
              (std::vector<WaveHeader*>{&blocks.headers[0], &blocks.headers[1], &blocks.headers[2]}));
    for (int i = 0; i < 3 * 2048; ++i) ASSERT_EQ(blocks.data[i], sound[i]) << "sample " << i;
    // The 100 samples beyond the three blocks found no block: lost, and nothing written anywhere.
    EXPECT_EQ(pump.lostBytes(), 200u);
    EXPECT_EQ(pump.offset(), 0u);
}

TEST(BlockPump, CaptureReportsThePartlyFilledBlockAndStartsAfreshAfterRewind) {
    Blocks blocks(2);
    BlockPump pump;
    ASSERT_TRUE(pump.queued().push(&blocks.headers[0]));
    std::vector<int16_t> sound(300, 5);
    EXPECT_EQ(pump.capture(reinterpret_cast<const uint8_t*>(sound.data()), 600), 0);
    EXPECT_EQ(pump.offset(), 600u);
    // Taken back (as a reset does), then the other block queued: it is filled from its start.
    WaveHeader* h = nullptr;
    ASSERT_TRUE(pump.queued().pop(h));
    pump.rewind();
    ASSERT_TRUE(pump.queued().push(&blocks.headers[1]));
    std::vector<int16_t> more(2048, -3);
    EXPECT_EQ(pump.capture(reinterpret_cast<const uint8_t*>(more.data()), 4096), 1);
    EXPECT_EQ(blocks.data[2048], -3);
    EXPECT_EQ(blocks.data[4095], -3);
}

TEST(BlockPump, PlaybackDrainsBlocksInOrderThenPlaysSilence) {
    Blocks blocks(2);
    for (std::size_t i = 0; i < blocks.data.size(); ++i) blocks.data[i] = int16_t(1000 + i);
    BlockPump pump;
    for (auto& h : blocks.headers) ASSERT_TRUE(pump.queued().push(&h));
    std::vector<int16_t> out(5000, 77);
    // 256-frame device buffers, the last one running past the queued sound.
    std::size_t at = 0;
    int finished = 0;
    while (at < out.size()) {
        const std::size_t n = std::min<std::size_t>(256, out.size() - at);
        finished += pump.play(reinterpret_cast<uint8_t*>(out.data() + at), n * 2);
        at += n;
    }
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(drain(pump.finished()), (std::vector<WaveHeader*>{&blocks.headers[0], &blocks.headers[1]}));
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(out[i], int16_t(1000 + i)) << "sample " << i;
    for (std::size_t i = 4096; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << "sample " << i;
    // Silence after the last block is the end of the sound; once another block follows, it was a gap.
    EXPECT_EQ(pump.lostBytes(), 0u);
    ASSERT_TRUE(pump.queued().push(&blocks.headers[0]));
    EXPECT_EQ(pump.play(reinterpret_cast<uint8_t*>(out.data()), 2), 0);
    EXPECT_EQ(out[0], int16_t(1000));
    EXPECT_EQ(pump.lostBytes(), (out.size() - 4096) * 2);
}

TEST(BlockPump, LossesTheDeviceReportsAddUpWithTheOverrunsItSees) {
    Blocks blocks(1);
    BlockPump pump;
    std::vector<int16_t> sound(256, 9);
    const auto* bytes = reinterpret_cast<const uint8_t*>(sound.data());
    EXPECT_EQ(pump.capture(bytes, 512), 0);  // no block queued: an overrun
    pump.deviceLost(512);  // the server flagged one of its own
    ASSERT_TRUE(pump.queued().push(&blocks.headers[0]));
    EXPECT_EQ(pump.capture(bytes, 512), 0);  // taken: nothing more lost
    EXPECT_EQ(pump.lostBytes(), 1024u);
    EXPECT_EQ(blocks.data[0], 9);
    // A buffer the device lost (ALSA repeats the last one after an overrun) is counted once and heard as
    // silence, in its place: the sound after it stays where it belongs.
    EXPECT_EQ(pump.captureLost(512), 0);
    EXPECT_EQ(pump.capture(bytes, 512), 0);
    EXPECT_EQ(pump.lostBytes(), 1536u);
    std::vector<int16_t> heard(512, 0);
    std::fill(heard.begin() + 256, heard.end(), int16_t{9});
    EXPECT_EQ(std::vector<int16_t>(blocks.data.begin() + 256, blocks.data.begin() + 768), heard);
    EXPECT_EQ(pump.offset(), 1536u);
    // With no block queued it is lost all the same, and counted once.
    BlockPump dry;
    EXPECT_EQ(dry.captureLost(512), 0);
    EXPECT_EQ(dry.lostBytes(), 512u);
}

TEST(BlockPump, AudioAndUiThreadsTogetherLoseAndRepeatNothing) {
    // The UI thread keeps queueing blocks with consecutive numbers and takes the finished ones back;
    // the audio thread plays them in 256-sample buffers. Every sample must come out once, in order.
    Blocks blocks(RT_MAX_QUEUED_BLOCKS);
    BlockPump pump;
    constexpr int kBlocksToPlay = 400;
    std::atomic<bool> stop{false};
    std::vector<int16_t> played;
    played.reserve(std::size_t(kBlocksToPlay + 4) * 2048);
    std::thread audio([&] {
        int16_t buffer[256];
        while (!stop.load()) {
            if (pump.queued().empty()) {
                std::this_thread::yield();
                continue;
            }
            pump.play(reinterpret_cast<uint8_t*>(buffer), sizeof buffer);
            played.insert(played.end(), buffer, buffer + 256);
        }
    });
    int queued = 0, freeSlots = RT_MAX_QUEUED_BLOCKS, slot = 0, returned = 0;
    while (returned < kBlocksToPlay) {
        WaveHeader* h = nullptr;
        while (pump.finished().pop(h)) {
            ++returned;
            ++freeSlots;
        }
        if (freeSlots > 0 && queued < kBlocksToPlay) {
            WaveHeader& next = blocks.headers[slot];
            slot = (slot + 1) % RT_MAX_QUEUED_BLOCKS;
            for (int i = 0; i < 2048; ++i) next.lpData[i] = int16_t((queued * 2048 + i) & 0x7fff);
            ASSERT_TRUE(pump.queued().push(&next));
            ++queued;
            --freeSlots;
        } else {
            std::this_thread::yield();
        }
    }
    stop = true;
    audio.join();
    // Silence may only appear where the audio thread found nothing queued, never inside the sequence.
    std::size_t k = 0;
    int mismatches = 0;
    for (int16_t s : played) {
        if (k < std::size_t(kBlocksToPlay) * 2048 && s == int16_t(k & 0x7fff))
            ++k;
        else if (s != 0)
            ++mismatches;
    }
    EXPECT_EQ(k, std::size_t(kBlocksToPlay) * 2048);
    EXPECT_EQ(mismatches, 0);
}

// A playback stream on a server that plays 11025 frames a second and holds 1024 of them when the next
// callback is due: each callback writes 256 frames, on time or late where it stalls. Returns the frames the
// server truly lacked and what the meter saw.
struct Playback {
    std::map<int, double> stalls;  // callback number -> seconds late
    double clockScale = 1;  // the sound card's clock against the one the meter reads
    int callbacks = 2000;
    double serverStart = 0;  // when the server begins to play, seconds
};

std::pair<double, uint64_t> lostAndSeen(const Playback& p) {
    const double rate = 11025, buffer = 1024, frames = 256;
    UnderrunMeter meter;
    meter.restart(rate, buffer);
    double t = 0, fill = 0, last = 0, lost = 0;
    uint64_t seen = 0;
    for (int n = 0; n < p.callbacks; ++n) {
        const auto stall = p.stalls.find(n);
        if (stall != p.stalls.end()) t += stall->second;
        fill -= rate * p.clockScale * (std::max(t, p.serverStart) - std::max(last, p.serverStart));
        if (fill < 0) {
            lost -= fill;
            fill = 0;
        }
        last = t;
        seen += meter.feed(t, unsigned(frames));
        fill += frames;
        if (fill > buffer) t = std::max(t, p.serverStart) + (fill - buffer) / (rate * p.clockScale);
    }
    return {lost, seen};
}

TEST(UnderrunMeter, SeesWhatOutlastsTheServersBufferAndNothingElse) {
    std::map<int, double> jitter;
    for (int n = 10; n < 160000; n += 7) jitter[n] = 0.001 * (n % 41);  // up to 40 ms late, often
    const Playback cases[] = {
        {},  // steady
        {jitter},  // late, never by the whole buffer (93 ms)
        {{{300, 0.085}}},  // nearly the whole buffer
        {jitter, 0.9995, 160000},  // a card 0.05 % slow, for an hour
        {{}, 1, 2000, 0.3},  // a busy server that starts to play late
        {{{300, 0.2}}},  // late by twice the buffer
        {{{300, 0.15}, {301, 0.15}, {900, 0.5}}},  // late again before the buffer refilled, then long
    };
    for (const Playback& p : cases) {
        const auto [lost, seen] = lostAndSeen(p);
        SCOPED_TRACE(testing::Message() << "stalls " << p.stalls.size() << ", clock " << p.clockScale);
        if (lost == 0)
            EXPECT_EQ(seen, 0u);
        else
            EXPECT_NEAR(double(seen), lost, 256);  // one callback's worth: when within it the server ran dry
    }
    EXPECT_GT(lostAndSeen(cases[6]).first, 5000);
}

// A graph whose clock advances by each cycle's frames, skipping cycles where told: frames per cycle at the
// stream's rate, the clock at clockRate. Returns what the meter saw.
uint64_t gapsSeen(uint32_t clockRate, uint32_t quantum, const std::vector<int>& skipped, int cycles = 400) {
    CycleGapMeter meter;
    uint64_t seen = 0, ticks = 5000;  // the clock does not start at 0
    double exact = 0;  // the stream's frames, fractional where it resamples
    for (int n = 0; n < cycles; ++n) {
        if (std::find(skipped.begin(), skipped.end(), n) != skipped.end()) ticks += quantum;
        const double before = exact;
        exact += quantum * 11025.0 / clockRate;
        seen += meter.feed(ticks, clockRate, uint32_t(exact) - uint32_t(before), 11025);
        ticks += quantum;
    }
    return seen;
}

TEST(CycleGapMeter, CountsTheCyclesTheGraphSkippedAndNothingElse) {
    EXPECT_EQ(gapsSeen(11025, 256, {}), 0u);
    EXPECT_EQ(gapsSeen(11025, 256, {7}), 256u);
    EXPECT_EQ(gapsSeen(11025, 256, {7, 8, 9, 300}), 1024u);  // three in a row and one more
    // At 48000 Hz a cycle of 1024 moves 235 or 236 frames: that rounding is no loss, a skipped cycle
    // (235.2 frames) is, within a frame.
    EXPECT_EQ(gapsSeen(48000, 1024, {}), 0u);
    const uint64_t one = gapsSeen(48000, 1024, {50});
    EXPECT_GE(one, 234u);
    EXPECT_LE(one, 236u);

    // A clock that goes back or changes its rate (the graph restarted or switched) is a new start.
    CycleGapMeter meter;
    EXPECT_EQ(meter.feed(1000, 11025, 256, 11025), 0u);
    EXPECT_EQ(meter.feed(1256, 11025, 256, 11025), 0u);
    EXPECT_EQ(meter.feed(100, 11025, 256, 11025), 0u);
    EXPECT_EQ(meter.feed(356, 11025, 256, 11025), 0u);
    EXPECT_EQ(meter.feed(90000, 48000, 235, 11025), 0u);
    EXPECT_EQ(meter.feed(91024, 48000, 235, 11025), 0u);
    // After a restart the first cycle only sets the clock.
    meter.restart();
    EXPECT_EQ(meter.feed(500000, 48000, 235, 11025), 0u);
    EXPECT_EQ(meter.feed(502048, 48000, 235, 11025), 235u);
}

TEST(CallbackGate, NoAudioWorkRunsWhileClosed) {
    CallbackGate gate;
    EXPECT_TRUE(gate.enter());
    gate.leave();
    gate.close();
    EXPECT_FALSE(gate.enter());
    gate.open();
    EXPECT_TRUE(gate.enter());
    gate.leave();

    // An audio thread hammering a counter under the gate: once close() returns, the counter stands still.
    std::atomic<long> counter{0};
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        while (!stop.load()) {
            if (gate.enter()) {
                const long c = counter.load(std::memory_order_relaxed);
                counter.store(c + 1, std::memory_order_relaxed);
                gate.leave();
            }
        }
    });
    int leaks = 0;
    for (int round = 0; round < 200 && leaks == 0; ++round) {
        gate.close();
        const long frozen = counter.load();
        for (int i = 0; i < 50; ++i) std::this_thread::yield();
        if (counter.load() != frozen) ++leaks;
        gate.open();
        const long before = counter.load();
        while (counter.load() == before) std::this_thread::yield();
    }
    stop = true;
    audio.join();
    EXPECT_EQ(leaks, 0) << "audio-thread work ran while the gate was closed";
}

// A made-up machine: what each sound system reports, and which of them were asked.
struct Machine {
    std::map<SoundApi, SoundApiReport> reports;
    std::vector<SoundApi> compiled{SoundApi::Pulse, SoundApi::Alsa, SoundApi::Jack};
    std::vector<SoundApi> asked;
    SoundApiChoice choose(const char* forced = nullptr) {
        asked.clear();
        return ChooseSoundApi(forced, compiled, 11025, [this](SoundApi api) {
            asked.push_back(api);
            return reports[api];
        });
    }
};

TEST(SoundApiChoice, PulseThenAlsaThenJackOnlyAtTheProgramsRate) {
    Machine m;
    m.reports = {{SoundApi::Pulse, {3, 0}}, {SoundApi::Alsa, {2, 0}}, {SoundApi::Jack, {1, 48000}}};
    SoundApiChoice c = m.choose();
    // The desktop's server wins over a JACK server beside it; nothing else is even asked.
    EXPECT_EQ(c.api, SoundApi::Pulse);
    EXPECT_EQ(c.note, "");
    EXPECT_EQ(m.asked, std::vector<SoundApi>{SoundApi::Pulse});

    m.reports[SoundApi::Pulse].devices = 0;  // no PulseAudio server running
    EXPECT_EQ(m.choose().api, SoundApi::Alsa);
    EXPECT_EQ(m.asked, (std::vector<SoundApi>{SoundApi::Pulse, SoundApi::Alsa}));

    m.reports[SoundApi::Alsa].devices = 0;
    c = m.choose();
    EXPECT_EQ(c.api, SoundApi::None);
    EXPECT_EQ(c.note, "the JACK server runs at 48000 Hz, not at the 11025 Hz the program needs");

    m.reports[SoundApi::Jack].fixedRate = 11025;
    c = m.choose();
    EXPECT_EQ(c.api, SoundApi::Jack);
    EXPECT_EQ(c.note, "");

    m.reports[SoundApi::Jack].devices = 0;  // nothing at all: the start-up check's message says it all
    c = m.choose();
    EXPECT_EQ(c.api, SoundApi::None);
    EXPECT_EQ(c.note, "");

    m.compiled = {SoundApi::Alsa};
    m.reports[SoundApi::Alsa].devices = 1;
    EXPECT_EQ(m.choose().api, SoundApi::Alsa);
    EXPECT_EQ(m.asked, std::vector<SoundApi>{SoundApi::Alsa});  // what is not compiled in is never asked
}

TEST(SoundApiChoice, PipeWireFirstWhenItsServerAnswersAndAFrozenServerEndsTheChoice) {
    Machine m;
    m.compiled = {SoundApi::PipeWire, SoundApi::Pulse, SoundApi::Alsa, SoundApi::Jack};
    m.reports = {{SoundApi::PipeWire, {4, 0}}, {SoundApi::Pulse, {3, 0}}, {SoundApi::Alsa, {2, 0}}};
    EXPECT_EQ(m.choose().api, SoundApi::PipeWire);
    EXPECT_EQ(m.asked, std::vector<SoundApi>{SoundApi::PipeWire});
    EXPECT_EQ(m.choose("pulse").api, SoundApi::Pulse);  // pipewire-pulse, when asked for
    EXPECT_EQ(m.choose("PipeWire").api, SoundApi::PipeWire);

    m.reports[SoundApi::PipeWire].devices = 0;  // no server, or one without sound devices
    EXPECT_EQ(m.choose().api, SoundApi::Pulse);
    EXPECT_EQ(m.asked, (std::vector<SoundApi>{SoundApi::PipeWire, SoundApi::Pulse}));

    // A server that took the connection and never answered: nothing else is tried, so no other system
    // is opened behind the user's frozen one.
    m.reports[SoundApi::PipeWire].hung = true;
    SoundApiChoice c = m.choose();
    EXPECT_EQ(c.api, SoundApi::None);
    EXPECT_EQ(m.asked, std::vector<SoundApi>{SoundApi::PipeWire});
    c = m.choose("pipewire");
    EXPECT_EQ(c.note, "ZORIQ1_AUDIO_API=pipewire, but the PipeWire server does not answer");
}

TEST(SoundApiChoice, TheVariableForcesOneSystemAndABadValueIsSaid) {
    Machine m;
    m.reports = {{SoundApi::Pulse, {3, 0}}, {SoundApi::Alsa, {2, 0}}, {SoundApi::Jack, {1, 48000}}};
    SoundApiChoice c = m.choose("alsa");
    EXPECT_EQ(c.api, SoundApi::Alsa);
    EXPECT_EQ(c.note, "");
    EXPECT_EQ(m.asked, std::vector<SoundApi>{SoundApi::Alsa});
    EXPECT_EQ(m.choose("PULSE").api, SoundApi::Pulse);
    EXPECT_EQ(m.choose("").api, SoundApi::Pulse);

    // Forced even where it cannot serve the program, with the reason for the failure that follows.
    c = m.choose("jack");
    EXPECT_EQ(c.api, SoundApi::Jack);
    EXPECT_EQ(c.note,
              "ZORIQ1_AUDIO_API=jack, but the JACK server runs at 48000 Hz, not at the 11025 Hz the program needs");
    m.reports[SoundApi::Alsa].devices = 0;
    c = m.choose("alsa");
    EXPECT_EQ(c.api, SoundApi::Alsa);
    EXPECT_EQ(c.note, "ZORIQ1_AUDIO_API=alsa, but ALSA offers no device");

    c = m.choose("oss");
    EXPECT_EQ(c.api, SoundApi::Pulse);
    EXPECT_EQ(c.note, "ZORIQ1_AUDIO_API=oss is not one of pipewire, pulse, alsa, jack; choosing as usual");
    m.compiled = {SoundApi::Pulse, SoundApi::Alsa};
    c = m.choose("jack");
    EXPECT_EQ(c.api, SoundApi::Pulse);
    EXPECT_EQ(c.note, "ZORIQ1_AUDIO_API=jack, but this build has no JACK; choosing as usual");
}

}  // namespace
