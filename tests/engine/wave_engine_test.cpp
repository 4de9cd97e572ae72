#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <tuple>
#include <unistd.h>
#include <vector>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

#include "tests/support/sim_device.h"
#include "engine/wave_engine.h"
#include "engine/wave_file.h"

using D = WaveDirection;
using Note = std::tuple<int, int, int>;

namespace {

std::vector<Note> notes;
bool copyInput = true;

// A pass-through block procedure that records every call.
int recordingProc(int code, int in, int out) {
    notes.emplace_back(code, in, out);
    if (code == WAVE_BLOCK_READY && copyInput)
        std::copy(InputRing + in * WAVE_BLOCK_SAMPLES, InputRing + (in + 1) * WAVE_BLOCK_SAMPLES,
                  OutputRing + out * WAVE_BLOCK_SAMPLES);
    return 0;
}

void deliver() {
    QCoreApplication::sendPostedEvents();
}

std::vector<int16_t> samples(int seed) {
    std::vector<int16_t> b(WAVE_BLOCK_SAMPLES);
    for (int i = 0; i < WAVE_BLOCK_SAMPLES; ++i) b[i] = static_cast<int16_t>(seed * 31 + i);
    return b;
}

class Engine : public testing::Test {
protected:
    void SetUp() override {
        notes.clear();
        copyInput = true;
    }
    void TearDown() override {
        stopAll();
        deliver();
    }
    // The runner's start order.
    void startAll(int mode = 0, const std::string& path = {}) {
        ASSERT_EQ(WaveInit(&owner, recordingProc), 0);
        ASSERT_EQ(WaveInOpen(WAVE_MAPPER), 0);
        ASSERT_EQ(WaveOutOpen(WAVE_MAPPER, mode, path.c_str()), 0);
        ASSERT_EQ(WaveOutStart(), 0);
        ASSERT_EQ(WaveInStart(), 0);
    }
    // The runner's stop order.
    int stopAll() {
        WaveInStop();
        WaveInClose();
        WaveOutStop();
        WaveOutClose();
        return WaveExit();
    }
    void capture(int seed) {
        auto s = samples(seed);
        ASSERT_TRUE(sim.completeCapture(s.data()));
        deliver();
    }
    void play() {
        ASSERT_TRUE(sim.completePlayback());
        deliver();
    }
    SimWaveBackend sim;
    QObject owner;
};

}  // namespace

TEST_F(Engine, GuardsRefuseCallsInTheWrongState) {
    EXPECT_EQ(WaveExit(), 1);
    EXPECT_EQ(WaveInOpen(-1), 1);
    EXPECT_EQ(WaveOutOpen(-1, 0, ""), 1);
    ASSERT_EQ(WaveInit(&owner, recordingProc), 0);
    EXPECT_EQ(WaveInit(&owner, recordingProc), 1);
    EXPECT_EQ(WaveInStart(), 1);
    EXPECT_EQ(WaveOutStart(), 1);
    EXPECT_EQ(WaveInStop(), 1);
    EXPECT_EQ(WaveOutClose(), 1);
    ASSERT_EQ(WaveInOpen(-1), 0);
    EXPECT_EQ(WaveInOpen(-1), 1);
    EXPECT_EQ(WaveExit(), 1);  // capture still open
    ASSERT_EQ(WaveOutOpen(-1, 0, nullptr), 0);  // mode 0 never looks at the path
    EXPECT_EQ(WaveOutStart(), 0);
    EXPECT_EQ(WaveOutStart(), 1);
    EXPECT_EQ(WaveInStart(), 0);
    EXPECT_EQ(WaveInStart(), 1);
    EXPECT_EQ(WaveInClose(), 1);   // started
    EXPECT_EQ(WaveOutStop(), 0);
    EXPECT_EQ(WaveOutClose(), 1);  // capture still started, even with playback stopped
    EXPECT_EQ(stopAll(), 0);
    // After WaveExit a new cycle begins at WaveInit.
    EXPECT_EQ(WaveInit(&owner, recordingProc), 0);
    EXPECT_EQ(WaveExit(), 0);
}

TEST_F(Engine, StartQueuesTwoCaptureBlocksAndNoPlayback) {
    startAll();
    EXPECT_EQ(sim.queuedCapture(), 2);
    EXPECT_EQ(sim.queuedPlayback(), 0);
    EXPECT_TRUE(notes.empty());
}

TEST_F(Engine, PlaybackStartsTwoBlocksBehindCapture) {
    startAll();
    capture(0);
    EXPECT_EQ(notes, (std::vector<Note>{{1, 0, 0}}));
    EXPECT_EQ(sim.queuedPlayback(), 0);
    capture(1);
    EXPECT_EQ(notes.back(), Note(1, 1, 1));
    EXPECT_EQ(sim.queuedPlayback(), 2);
    capture(2);
    EXPECT_EQ(notes.back(), Note(1, 2, 2));
    EXPECT_EQ(sim.queuedPlayback(), 3);
    play();
    for (int k = 3; k < 9; ++k) {
        capture(k);
        EXPECT_EQ(notes.back(), Note(1, k % 8, k % 8));
        play();
    }
    EXPECT_EQ(notes.back(), Note(1, 0, 0));  // the ninth block wraps to block 0
    EXPECT_EQ(sim.queuedCapture(), 2);
    // What was played is the captured blocks, in order.
    ASSERT_EQ(sim.played().size(), 7u * WAVE_BLOCK_SAMPLES);
    for (int k = 0; k < 7; ++k) {
        auto expected = samples(k);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sim.played().begin() + k * WAVE_BLOCK_SAMPLES))
            << "block " << k;
    }
}

TEST_F(Engine, OverflowWhenPlaybackRunsDry) {
    startAll();
    capture(0);
    capture(1);
    play();
    play();
    capture(2);  // everything queued has played: nothing left between capture and playback
    EXPECT_EQ(notes.back(), Note(WAVE_ERR_OVERFLOW, 0, 0));
    capture(3);  // and again while the condition holds
    EXPECT_EQ(notes.back(), Note(WAVE_ERR_OVERFLOW, 0, 0));
    EXPECT_EQ(sim.queuedCapture(), 2);  // capture goes on
}

TEST_F(Engine, OverflowWhenPlaybackFallsEightBlocksBehind) {
    startAll();
    for (int k = 0; k < 7; ++k) capture(k);
    EXPECT_EQ(sim.queuedPlayback(), 7);
    EXPECT_EQ(notes.back(), Note(1, 6, 6));
    capture(7);
    EXPECT_EQ(notes.back(), Note(1, 7, 7));
    EXPECT_EQ(sim.queuedPlayback(), 8);
    capture(8);
    EXPECT_EQ(notes.back(), Note(WAVE_ERR_OVERFLOW, 0, 0));
}

TEST_F(Engine, FirstTwoCompletionsNeverOverflow) {
    startAll();
    capture(0);
    capture(1);
    for (const auto& n : notes) EXPECT_EQ(std::get<0>(n), 1);
}

TEST_F(Engine, StopHandsBackBlocksWithoutReportingThem) {
    startAll();
    capture(0);
    capture(1);
    size_t reported = notes.size();
    ASSERT_EQ(WaveInStop(), 0);
    EXPECT_EQ(sim.queuedCapture(), 0);
    deliver();  // the handed-back blocks are released, not requeued or reported
    EXPECT_EQ(notes.size(), reported);
    EXPECT_EQ(sim.queuedCapture(), 0);
    ASSERT_EQ(WaveOutStop(), 0);
    deliver();
    EXPECT_EQ(notes.size(), reported);
    EXPECT_EQ(WaveInClose(), 0);
    EXPECT_EQ(WaveOutClose(), 0);
    EXPECT_EQ(WaveExit(), 0);
}

TEST_F(Engine, SamplesTheDevicesLostAreSaidInOneLineAtExit) {
    startAll();
    capture(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(stopAll(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // nothing lost, nothing said

    startAll();
    ASSERT_TRUE(sim.loseSamples(D::Capture, 300));
    ASSERT_TRUE(sim.loseSamples(D::Playback, 2048));
    ASSERT_TRUE(sim.loseSamples(D::Capture, 5));
    testing::internal::CaptureStderr();
    EXPECT_EQ(stopAll(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zoriq1: 2353 samples were lost at the sound device during the function "
              "(capture overruns: 305, playback underruns: 2048)\n");

    // Each run counts afresh.
    startAll();
    testing::internal::CaptureStderr();
    EXPECT_EQ(stopAll(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Engine, NotificationsQueuedAtExitAreDropped) {
    startAll();
    capture(0);
    auto s = samples(1);
    ASSERT_TRUE(sim.completeCapture(s.data()));  // posted, not delivered
    EXPECT_EQ(stopAll(), 0);
    deliver();
    EXPECT_EQ(notes.size(), 1u);
}

TEST_F(Engine, DeviceFailuresWhileStreamingAreReported) {
    startAll();
    sim.failNext(D::Capture, SimOp::Unprepare);
    capture(0);
    EXPECT_EQ(notes.back(), Note(WAVE_ERR_IN_UNPREPARE, 0, 0));
    sim.failNext(D::Capture, SimOp::Prepare);
    capture(1);
    EXPECT_EQ(notes.back(), Note(WAVE_ERR_IN_PREPARE, 0, 0));
    EXPECT_EQ(sim.queuedCapture(), 0);  // no block requeued: capture runs out
}

TEST_F(Engine, FailedRequeueEndsTheHandlerBeforeTheBlockIsReported) {
    startAll();
    sim.failNext(D::Capture, SimOp::Queue);
    capture(0);
    EXPECT_EQ(notes, (std::vector<Note>{{WAVE_ERR_IN_ADDBUFFER, 0, 0}}));
    capture(1);  // the one block still queued: reported as the first
    EXPECT_EQ(notes.back(), Note(1, 0, 0));
}

TEST_F(Engine, FailedPlaybackPrepareAfterTheBlockWasReported) {
    startAll();
    capture(0);
    sim.failNext(D::Playback, SimOp::Prepare);
    capture(1);
    EXPECT_EQ(notes, (std::vector<Note>{{1, 0, 0}, {1, 1, 1}, {WAVE_ERR_OUT_PREPARE, 0, 0}}));
    EXPECT_EQ(sim.queuedPlayback(), 0);
    EXPECT_EQ(sim.queuedCapture(), 2);  // the requeue happened before
}

TEST_F(Engine, PlaybackWriteAndUnprepareErrors) {
    startAll();
    capture(0);
    sim.failNext(D::Playback, SimOp::Queue);
    capture(1);
    EXPECT_EQ(notes.back(), Note(WAVE_ERR_OUT_WRITE, 0, 0));
    capture(2);
    sim.failNext(D::Playback, SimOp::Unprepare);
    play();
    EXPECT_EQ(notes.back(), Note(WAVE_ERR_OUT_UNPREPARE, 0, 0));
}

TEST_F(Engine, StartFailuresLeaveCaptureStopped) {
    ASSERT_EQ(WaveInit(&owner, recordingProc), 0);
    ASSERT_EQ(WaveInOpen(-1), 0);
    sim.failNext(D::Capture, SimOp::Prepare);
    EXPECT_EQ(WaveInStart(), 102);
    sim.failNext(D::Capture, SimOp::Start);
    EXPECT_EQ(WaveInStart(), 104);
    EXPECT_EQ(WaveInStop(), 1);  // not started
    EXPECT_EQ(sim.queuedCapture(), 2);
    // The blocks queued by the failed start are handed back, so the stop can still close the device
    // and a later run can start afresh.
    EXPECT_EQ(WaveInClose(), 0);
    EXPECT_FALSE(sim.isOpen(D::Capture));
    EXPECT_EQ(WaveExit(), 0);
    deliver();
    EXPECT_TRUE(notes.empty());
}

TEST_F(Engine, FailedDeviceCloseKeepsTheDirectionOpen) {
    startAll();
    ASSERT_EQ(WaveInStop(), 0);
    sim.failNext(D::Capture, SimOp::Close);
    EXPECT_EQ(WaveInClose(), 101);
    EXPECT_NE(InputRing, nullptr);
    EXPECT_EQ(WaveExit(), 1);
    EXPECT_EQ(WaveInClose(), 0);
}

TEST_F(Engine, OpenFailuresLeaveTheDirectionClosed) {
    ASSERT_EQ(WaveInit(&owner, recordingProc), 0);
    sim.setOpenFails(D::Capture, true);
    EXPECT_EQ(WaveInOpen(-1), 101);
    EXPECT_EQ(InputRing, nullptr);
    sim.setOpenFails(D::Capture, false);
    EXPECT_EQ(WaveInOpen(-1), 0);
    EXPECT_EQ(WaveOutOpen(-1, 1, "/nonexistent-dir/out.wav"), 102);
    EXPECT_FALSE(sim.isOpen(D::Playback));
    EXPECT_EQ(OutputRing, nullptr);
}

TEST_F(Engine, FailedPlaybackOpenClosesTheFileItCreated) {
    std::string path = std::string(testing::TempDir()) + "zq_engine_fail_" + std::to_string(getpid()) + ".wav";
    ASSERT_EQ(WaveInit(&owner, recordingProc), 0);
    sim.setOpenFails(D::Playback, true);
    EXPECT_EQ(WaveOutOpen(-1, 1, path.c_str()), 101);
    // The file was closed: a new one can be created and it is a valid empty WAV.
    std::ifstream in(path, std::ios::binary);
    std::vector<char> b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(b.size(), 46u);
    sim.setOpenFails(D::Playback, false);
    EXPECT_EQ(WaveOutOpen(-1, 1, path.c_str()), 0);
    std::remove(path.c_str());
}

class EngineFile : public Engine {
protected:
    void SetUp() override {
        Engine::SetUp();
        path = std::string(testing::TempDir()) + "zq_engine_" + std::to_string(getpid()) + ".wav";
    }
    void TearDown() override {
        Engine::TearDown();
        std::remove(path.c_str());
    }
    std::vector<int16_t> fileSamples() {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (b.size() < 46) return {};
        std::vector<int16_t> s((b.size() - 46) / 2);
        std::memcpy(s.data(), b.data() + 46, s.size() * 2);
        return s;
    }
    std::string path;
};

TEST_F(EngineFile, EveryPlayedBlockIsWrittenInOrderButNotThoseQueuedAtStop) {
    startAll(1, path);
    for (int k = 0; k < 6; ++k) {
        capture(k);
        if (k >= 2) play();
    }
    EXPECT_EQ(sim.queuedPlayback(), 2);
    EXPECT_EQ(stopAll(), 0);
    deliver();
    auto s = fileSamples();
    ASSERT_EQ(s.size(), 4u * WAVE_BLOCK_SAMPLES);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), sim.played().begin()));
    for (int k = 0; k < 4; ++k) {
        auto expected = samples(k);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), s.begin() + k * WAVE_BLOCK_SAMPLES));
    }
}

TEST_F(EngineFile, DiskFullReportsOnceAndPlaybackGoesOn) {
    startAll(1, path);
    capture(0);
    capture(1);
    capture(2);
    play();  // block 0 written
    // The next write fails as on a full disk: the file size limit leaves no room for another block.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    rlimit tiny{46 + 4096 + 100, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    play();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(notes.back(), Note(WAVE_ERR_FILE_FULL, 0, 0));
    capture(3);
    play();
    EXPECT_EQ(std::get<0>(notes.back()), 1);  // no second 107: file output has ended
    EXPECT_EQ(sim.played().size(), 3u * WAVE_BLOCK_SAMPLES);  // the sound went on
    EXPECT_EQ(stopAll(), 0);
    auto s = fileSamples();
    EXPECT_EQ(s.size(), 1u * WAVE_BLOCK_SAMPLES);
}
