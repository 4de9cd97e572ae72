// The real device layer on a running sound server (started by with_pulse.sh): what the engine relies on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <memory>
#include <vector>

#include "engine/device/audio_device.h"
#include "engine/device/sound_api.h"

namespace {

constexpr int kBlockSamples = 2048;

// Collects done events in arrival order.
class Target : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != WaveDoneEvent::eventType()) return QObject::event(e);
        auto* done = static_cast<WaveDoneEvent*>(e);
        messages.push_back(done->message);
        headers.push_back(done->header);
        return true;
    }
    std::vector<unsigned> messages;
    std::vector<WaveHeader*> headers;
};

struct Ring {
    explicit Ring(int blocks) : samples(std::size_t(blocks) * kBlockSamples), headers(blocks) {
        for (int i = 0; i < blocks; ++i) {
            headers[i] = WaveHeader{};
            headers[i].lpData = samples.data() + std::size_t(i) * kBlockSamples;
            headers[i].dwBufferLength = kBlockSamples * 2;
        }
    }
    std::vector<int16_t> samples;
    std::vector<WaveHeader> headers;
};

// Runs the event loop until `count` events arrived or `ms` passed.
void waitForEvents(const Target& t, std::size_t count, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (t.headers.size() < count && timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
}

std::unique_ptr<WaveDevice> open(WaveDirection direction, QObject* target) {
    return std::unique_ptr<WaveDevice>(WaveSoundSystem().open(direction, -1, WAVE_PCM_MONO_11025, target));
}

TEST(RealDevice, CaptureFillsBlocksInQueueOrderOnlyAfterStart) {
    Target target;
    auto capture = open(WaveDirection::Capture, &target);
    ASSERT_TRUE(capture);
    Ring ring(4);
    for (auto& h : ring.headers) {
        ASSERT_EQ(capture->prepare(&h), 0);
        ASSERT_EQ(capture->queue(&h), 0);
    }
    // Nothing arrives before start (a block takes 186 ms to fill).
    waitForEvents(target, 1, 400);
    EXPECT_TRUE(target.headers.empty());
    ASSERT_EQ(capture->start(), 0);
    waitForEvents(target, 3, 3000);
    ASSERT_GE(target.headers.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(target.messages[i], MM_WIM_DATA);
        EXPECT_EQ(target.headers[i], &ring.headers[i]);
        EXPECT_EQ(ring.headers[i].dwBytesRecorded, uint32_t(kBlockSamples * 2));
        EXPECT_EQ(capture->unprepare(&ring.headers[i]), 0);
    }
    // The block still queued cannot be released or closed under the device.
    EXPECT_NE(capture->unprepare(&ring.headers[3]), 0);
    EXPECT_NE(capture->close(), 0);
    // Reset hands it back with its own done event; then close succeeds.
    const std::size_t before = target.headers.size();
    EXPECT_EQ(capture->reset(), 0);
    waitForEvents(target, 4, 1000);
    ASSERT_EQ(target.headers.size(), 4u) << "events before reset: " << before;
    EXPECT_EQ(target.headers[3], &ring.headers[3]);
    EXPECT_EQ(capture->unprepare(&ring.headers[3]), 0);
    EXPECT_EQ(capture->close(), 0);
}

TEST(RealDevice, PlaybackFinishesBlocksInOrderAndResetReturnsTheRestInOrder) {
    Target target;
    auto playback = open(WaveDirection::Playback, &target);
    ASSERT_TRUE(playback);
    Ring ring(8);
    // A ninth block does not fit: eight at most are in the device's hands.
    for (auto& h : ring.headers) {
        ASSERT_EQ(playback->prepare(&h), 0);
        ASSERT_EQ(playback->queue(&h), 0);
    }
    WaveHeader extra{};
    std::vector<int16_t> extraData(kBlockSamples);
    extra.lpData = extraData.data();
    extra.dwBufferLength = kBlockSamples * 2;
    ASSERT_EQ(playback->prepare(&extra), 0);
    EXPECT_NE(playback->queue(&extra), 0);
    // The same block twice is refused too.
    EXPECT_NE(playback->queue(&ring.headers[0]), 0);

    waitForEvents(target, 2, 3000);
    ASSERT_GE(target.headers.size(), 2u);
    EXPECT_EQ(playback->close(), 1);
    EXPECT_EQ(playback->reset(), 0);
    waitForEvents(target, 8, 1000);
    ASSERT_EQ(target.headers.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(target.messages[i], MM_WOM_DONE);
        EXPECT_EQ(target.headers[i], &ring.headers[i]) << "event " << i;
    }
    EXPECT_EQ(playback->close(), 0);
    // A closed device takes no more blocks.
    EXPECT_NE(playback->queue(&ring.headers[0]), 0);
}

TEST(RealDevice, BadHeadersAndFormatsAreRefused) {
    Target target;
    auto playback = open(WaveDirection::Playback, &target);
    ASSERT_TRUE(playback);
    WaveHeader empty{};
    EXPECT_NE(playback->prepare(nullptr), 0);
    EXPECT_NE(playback->prepare(&empty), 0);  // no data
    EXPECT_NE(playback->queue(&empty), 0);
    std::vector<int16_t> data(16);
    WaveHeader unprepared{};
    unprepared.lpData = data.data();
    unprepared.dwBufferLength = 32;
    EXPECT_NE(playback->queue(&unprepared), 0);
    EXPECT_EQ(playback->close(), 0);

    WaveFormat eightBit = WAVE_PCM_MONO_11025;
    eightBit.wBitsPerSample = 8;
    eightBit.nBlockAlign = 1;
    EXPECT_EQ(WaveSoundSystem().open(WaveDirection::Capture, -1, eightBit, &target), nullptr);
    EXPECT_EQ(WaveSoundSystem().open(WaveDirection::Capture, 1000, WAVE_PCM_MONO_11025, &target), nullptr);
}

TEST(RealDevice, BothDirectionsOpenTogetherWithoutATarget) {
    auto capture = open(WaveDirection::Capture, nullptr);
    auto playback = open(WaveDirection::Playback, nullptr);
    ASSERT_TRUE(capture);
    ASSERT_TRUE(playback);
    EXPECT_EQ(capture->close(), 0);
    EXPECT_EQ(playback->close(), 0);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
