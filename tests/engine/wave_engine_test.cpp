#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QObject>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "engine/wave_engine.h"
#include "engine/wave_file.h"
#include "tests/support/sim_device.h"

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

// Every step from every reachable state, in random orders: each result is the one a small model of the
// states gives, and after the stop order nothing is left open or allocated (the sanitizers see the rest).
// Injected device failures and queued blocks are part of the walk, since they decide open, start and close.
TEST_F(Engine, EveryStepFromEveryStateGivesTheModelsResult) {
    enum Step {
        Init,
        Exit,
        InOpen,
        InStart,
        InStop,
        InClose,
        OutOpen,
        OutStart,
        OutStop,
        OutClose,
        Capture,
        Play,
        Deliver,
        kSteps
    };
    const char* const names[kSteps] = {"WaveInit",    "WaveExit",    "WaveInOpen",   "WaveInStart", "WaveInStop",
                                       "WaveInClose", "WaveOutOpen", "WaveOutStart", "WaveOutStop", "WaveOutClose",
                                       "capture",     "play",        "deliver"};
    enum Dir { Closed, Open, Started };
    struct Model {
        bool init = false;
        Dir in = Closed, out = Closed;
    };
    const std::string path = std::string(testing::TempDir()) + "zq_engine_model_" + std::to_string(getpid()) + ".wav";
    auto openFds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto fdsBefore = openFds();
    std::set<std::pair<int, int>> visited;  // (state, step)
    std::set<std::pair<int, int>> results;  // (step, result)
    copyInput = false;  // capture may run with no output ring at all
    const int kWalk = 5000;
    const unsigned kSeeds[] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (unsigned seed : kSeeds) {
        std::mt19937 rng(seed);
        Model m;
        for (int n = 0; n < kWalk; ++n) {
            const int step = static_cast<int>(rng() % kSteps);
            const bool fail = rng() % 4 == 0;  // the step's device call fails, where it makes one
            const bool armedAndQueued = m.out == Started && sim.queuedPlayback() > 0;
            const int state = !m.init ? 0 : 1 + m.in * 4 + (armedAndQueued ? 3 : m.out);
            visited.insert({state, step});
            int expected = 0, got = 0;
            const bool allowed[] = {!m.init,
                                    m.init && m.in == Closed && m.out == Closed,
                                    m.init && m.in == Closed,
                                    m.init && m.in == Open,
                                    m.init && m.in == Started,
                                    m.init && m.in == Open,
                                    m.init && m.out == Closed,
                                    m.init && m.out == Open,
                                    m.init && m.out == Started,
                                    m.init && m.out != Closed && m.in != Started};
            if (step < Capture && !allowed[step]) expected = WAVE_ERR_STATE;
            switch (step) {
            case Init:
                got = WaveInit(&owner, recordingProc);
                if (!expected) m.init = true;
                break;
            case Exit:
                got = WaveExit();
                if (!expected) m.init = false;
                break;
            case InOpen:
                if (fail) sim.failNext(D::Capture, SimOp::Open);
                got = WaveInOpen(WAVE_MAPPER);
                if (!expected) expected = fail ? WAVE_OPEN_ERR_DEVICE : 0;
                if (!expected) m.in = Open;
                break;
            case InStart: {
                // A start that failed at the device's start left its two blocks queued: the next one cannot
                // queue them again.
                const bool leftQueued = sim.queuedCapture() > 0;
                const SimOp op = rng() % 2 ? SimOp::Prepare : SimOp::Start;
                if (fail) sim.failNext(D::Capture, op);
                got = WaveInStart();
                if (!expected && fail && op == SimOp::Prepare) expected = WAVE_IN_START_ERR_PREPARE;
                if (!expected && leftQueued) expected = WAVE_IN_START_ERR_ADDBUFFER;
                if (!expected && fail) expected = WAVE_IN_START_ERR_START;
                if (!expected) m.in = Started;
                break;
            }
            case InStop:
            case OutStop:
                if (fail) sim.failNext(step == InStop ? D::Capture : D::Playback, SimOp::Reset);
                got = step == InStop ? WaveInStop() : WaveOutStop();
                if (!expected && fail) expected = WAVE_STOP_ERR_RESET;
                if (!expected) (step == InStop ? m.in : m.out) = Open;
                break;
            case InClose:
                if (fail) sim.failNext(D::Capture, SimOp::Close);
                got = WaveInClose();
                if (!expected && fail) expected = WAVE_CLOSE_ERR_DEVICE;
                if (!expected) m.in = Closed;
                break;
            case OutOpen: {
                // A WAV file that cannot be created, or a device that does not open.
                const int mode = static_cast<int>(rng() % 2);
                if (fail && mode == 0) sim.failNext(D::Playback, SimOp::Open);
                got = WaveOutOpen(WAVE_MAPPER, mode, fail ? "/nonexistent-dir/out.wav" : path.c_str());
                if (!expected && fail) expected = mode == 1 ? WAVE_OUT_OPEN_ERR_FILE : WAVE_OPEN_ERR_DEVICE;
                if (!expected) m.out = Open;
                break;
            }
            case OutStart:
                got = WaveOutStart();
                if (!expected) m.out = Started;
                break;
            case OutClose: {
                const bool queued = sim.queuedPlayback() > 0;
                if (fail) sim.failNext(D::Playback, SimOp::Close);
                got = WaveOutClose();
                if (!expected && (fail || queued)) expected = WAVE_CLOSE_ERR_DEVICE;
                if (!expected) m.out = Closed;  // armed or not: nothing is left to stop
                break;
            }
            case Capture: sim.completeCapture(); break;
            case Play: sim.completePlayback(); break;
            case Deliver: deliver(); break;
            }
            results.insert({step, got});
            ASSERT_EQ(got, expected) << "seed " << seed << ", step " << n << ": " << names[step]
                                     << (fail ? " failing" : "") << " from state " << state;
            // A direction's ring and device exist exactly while it is open.
            ASSERT_EQ(std::make_tuple(InputRing != nullptr, sim.isOpen(D::Capture), OutputRing != nullptr,
                                      sim.isOpen(D::Playback)),
                      std::make_tuple(m.in != Closed, m.in != Closed, m.out != Closed, m.out != Closed))
                << "seed " << seed << ", step " << n;
            // A failure injected into a step that made no device call must not hit a later step.
            for (D d : {D::Capture, D::Playback})
                for (SimOp op : {SimOp::Open, SimOp::Prepare, SimOp::Start, SimOp::Reset, SimOp::Close})
                    sim.failNext(d, op, 0);
        }
        // The stop order takes down whatever the walk left.
        deliver();
        WaveInStop();
        WaveInClose();
        WaveOutStop();
        WaveOutClose();
        EXPECT_EQ(WaveExit(), m.init ? WAVE_OK : WAVE_ERR_STATE);
        EXPECT_FALSE(sim.isOpen(D::Capture) || sim.isOpen(D::Playback));
        EXPECT_EQ(openFds(), fdsBefore);
    }
    // The walk reached every state (uninitialised, 3 capture states x 4 playback states) with every step,
    // and gave every result the model knows: 0 and 1 for each call, the device failures of open, start (3),
    // stop and close, the file's, and 0 for the three events.
    EXPECT_EQ(visited.size(), 13u * kSteps);
    EXPECT_EQ(results.size(), 10u * 2 + 10 + 3);
    std::remove(path.c_str());
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

// The block that found the disk full cannot be released either: both are told, the disk first, as the file
// output has ended whatever follows.
TEST_F(EngineFile, AFailedUnprepareAfterAFullDiskTellsTheFullDiskFirst) {
    startAll(1, path);
    capture(0);
    capture(1);
    ASSERT_TRUE(FailWritesToOpenFile(QString::fromStdString(path)));
    sim.failNext(D::Playback, SimOp::Unprepare);
    play();
    EXPECT_EQ(notes,
              (std::vector<Note>{{1, 0, 0}, {1, 1, 1}, {WAVE_ERR_FILE_FULL, 0, 0}, {WAVE_ERR_OUT_UNPREPARE, 0, 0}}));
}

// A close that cannot write the final sizes (the disk filled up meanwhile) still takes playback down.
TEST_F(EngineFile, AFailedFileCloseStillClosesTheDeviceAndReleasesTheRing) {
    startAll(1, path);
    for (int k = 0; k < 4; ++k) {
        capture(k);
        if (k >= 2) play();
    }
    ASSERT_TRUE(FailWritesToOpenFile(QString::fromStdString(path)));
    ASSERT_EQ(WaveInStop(), 0);
    ASSERT_EQ(WaveInClose(), 0);
    ASSERT_EQ(WaveOutStop(), 0);
    EXPECT_EQ(WaveOutClose(), WAVE_OUT_CLOSE_ERR_FILE);
    EXPECT_FALSE(sim.isOpen(D::Playback));
    EXPECT_EQ(OutputRing, nullptr);
    EXPECT_EQ(WaveOutClose(), 1);  // nothing left to close
    EXPECT_EQ(WaveExit(), 0);
    // The sizes written after each block still describe the blocks written.
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(b.size(), 46u + 2 * WAVE_BLOCK_BYTES);
    EXPECT_EQ(b[42] | b[43] << 8 | b[44] << 16, 2 * WAVE_BLOCK_BYTES);
    EXPECT_EQ(b[4] | b[5] << 8 | b[6] << 16, 38 + 2 * WAVE_BLOCK_BYTES);
    auto s = fileSamples();
    EXPECT_TRUE(std::equal(s.begin(), s.end(), sim.played().begin()));
    startAll();  // and the next function starts
}
