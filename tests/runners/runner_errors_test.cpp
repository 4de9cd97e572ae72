// How the runners start, stop and answer the engine's error codes.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <cstring>

#include "dsp/filter_bank.h"
#include "engine/wave_engine.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"

using namespace zqtest;

namespace {

const QString kOperating = QStringLiteral("Error while operating.");
const QString kDiskFull =
    QStringLiteral("Error writing to output wave file: disk is full.\nOutput to file is stopped.");
const QString kFileWrite = QStringLiteral("Error writing to output wave file.");
const QString kOverflow = QStringLiteral("Output buffer overflow");

QString ExpectedText(int code) {
    if (code >= 101 && code <= 106) return kOperating;
    if (code == 107) return kDiskFull;
    if (code == 108) return kFileWrite;
    return kOverflow;
}

struct Running {
    SimWaveBackend sim;
    FakeRunnerWindow window;
    Running() { FirBankStart(&window, 0, QString()); }
    ~Running() { FirBankStop(); }
};

// A function started with its output going to a WAV file in a directory of its own.
struct Recording {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.wav"));
    SimWaveBackend sim;
    MessageBoxRecorder boxes;
    FakeRunnerWindow window;
    SimStream stream{sim};
    explicit Recording(void (*start)(CRunnerWindow*, int, QString)) { start(&window, 1, path); }
};

int IndexOfCall(const QStringList& calls, const QString& prefix) {
    for (int n = 0; n < calls.size(); ++n)
        if (calls[n].startsWith(prefix)) return n;
    return -1;
}

int NoProc(int, int, int) {
    return 0;
}

uint32_t Le32(const QByteArray& b, int at) {
    return uint8_t(b[at]) | uint8_t(b[at + 1]) << 8 | uint8_t(b[at + 2]) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
}

// The WAV file holds exactly these blocks, with sizes that describe them.
void ExpectWavOf(const QString& path, const std::vector<Block>& blocks) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray b = file.readAll();
    const std::vector<int16_t> samples = Concat(blocks);
    ASSERT_EQ(b.size(), 46 + 2 * qsizetype(samples.size()));
    EXPECT_EQ(Le32(b, 4), 38 + 2 * samples.size());
    EXPECT_EQ(Le32(b, 42), 2 * samples.size());
    EXPECT_EQ(0, std::memcmp(b.constData() + 46, samples.data(), 2 * samples.size()));
}

}  // namespace

TEST(RunnerErrors, EachCodeShowsItsMessageAndClosesOnceTheBoxIsDismissed) {
    for (int code = 101; code <= 109; ++code) {
        SCOPED_TRACE(code);
        Running run;
        MessageBoxRecorder boxes;
        int requestsWhileOpen = -1;
        boxes.whileOpen = [&](int) {
            Pump();
            requestsWhileOpen = run.window.closeRequests;
        };
        EXPECT_EQ(FirBankBlock(code, 0, 0), 0);
        EXPECT_EQ(run.window.closeRequests, 0) << "the close request is posted, never sent";
        Pump();
        ASSERT_EQ(boxes.texts.size(), 1);
        EXPECT_EQ(boxes.texts[0], ExpectedText(code));
        EXPECT_EQ(boxes.titles[0], ProgramName());
        EXPECT_EQ(requestsWhileOpen, 0);
        EXPECT_EQ(run.window.closeRequests, code == WAVE_ERR_FILE_FULL ? 0 : 1);
    }
}

TEST(RunnerErrors, CodesOutsideTheTableAreIgnored) {
    Running run;
    MessageBoxRecorder boxes;
    for (int code : {0, 2, 100, 110, -1, 1000, WAVE_BLOCK_READY + 1}) EXPECT_EQ(UserFirBlock(code, 0, 0), 0);
    // A block index outside the ring is no block at all.
    for (int block : {-1, 8, 1 << 20}) EXPECT_EQ(DirectMappingBlock(WAVE_BLOCK_READY, block, block), 0);
    Pump();
    EXPECT_TRUE(boxes.texts.isEmpty());
    EXPECT_EQ(run.window.closeRequests, 0);
}

TEST(RunnerErrors, ErrorsWhileABoxIsOpenAreToldInOneMoreBoxAfterItAndCloseOnce) {
    Running run;
    SimStream stream(run.sim);
    const std::vector<Block> input = RandomBlocks(3, 11);
    BankCoefficients[0] = 1.0;
    BankCoefficientCount = 1;
    MessageBoxRecorder boxes;
    boxes.whileOpen = [&](int box) {
        // The engine goes on reporting while a box is open; an overflow repeats with every block.
        FirBankBlock(WAVE_ERR_OVERFLOW, 0, 0);
        if (box != 1) return;
        FirBankBlock(WAVE_ERR_OUT_WRITE, 0, 0);
        FirBankBlock(WAVE_ERR_FILE_FULL, 0, 0);
        // ... and blocks keep flowing.
        stream.Feed(input[0]);
        stream.Feed(input[1]);
        Pump();
        EXPECT_EQ(run.window.closeRequests, 0);
    };
    FirBankBlock(WAVE_ERR_FILE_WRITE, 0, 0);
    Pump();
    // The first reason to close that came meanwhile is told, once; then the window closes.
    EXPECT_EQ(boxes.texts, (QStringList{kFileWrite, kOverflow}));
    EXPECT_EQ(run.window.closeRequests, 1);
    ASSERT_NE(OutputRing, nullptr);
    EXPECT_EQ(0, std::memcmp(OutputRing + 2048, input[1].data(), 4096)) << "block 1 was not processed";

    // Later errors get their own box again; the same message again is not repeated.
    FirBankBlock(WAVE_ERR_OVERFLOW, 0, 0);
    Pump();
    EXPECT_EQ(boxes.texts.size(), 3);
    EXPECT_EQ(run.window.closeRequests, 2);
}

TEST(RunnerErrors, AnErrorDuringTheDiskFullNoticeIsToldAfterItAndClosesTheWindow) {
    Running run;
    MessageBoxRecorder boxes;
    boxes.whileOpen = [&](int box) {
        if (box == 1) FirBankBlock(WAVE_ERR_OVERFLOW, 0, 0);
    };
    FirBankBlock(WAVE_ERR_FILE_FULL, 0, 0);
    Pump();
    EXPECT_EQ(boxes.texts, (QStringList{kDiskFull, kOverflow}));
    EXPECT_EQ(run.window.closeRequests, 1);

    // A second disk-full notice during the first adds nothing and closes nothing.
    boxes.whileOpen = [&](int box) {
        if (box == 3) FirBankBlock(WAVE_ERR_FILE_FULL, 0, 0);
    };
    FirBankBlock(WAVE_ERR_FILE_FULL, 0, 0);
    Pump();
    EXPECT_EQ(boxes.texts.size(), 3);
    EXPECT_EQ(run.window.closeRequests, 1);
}

// A person reads the notice for longer than the ring lasts: the blocks handled meanwhile, the one that found
// the disk full among them, come round and are queued again before the notice is dismissed. Each count of
// blocks leaves that block at another place of the ring.
TEST(RunnerErrors, TheDiskFullNoticeLeftOpenForManyBlocksLetsTheFunctionGoOn) {
    for (int whileOpen = 16; whileOpen < 24; ++whileOpen) {
        SCOPED_TRACE(whileOpen);
        Recording rec(DirectMappingStart);
        const std::vector<Block> input = RandomBlocks(36, 14);
        std::size_t fed = 0;
        // Room for the header and three blocks: the fourth block played finds the disk full.
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        const rlimit tiny{46 + 3 * 4096 + 100, old.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        rec.boxes.whileOpen = [&](int box) {
            setrlimit(RLIMIT_FSIZE, &old);
            for (int n = 0; n < whileOpen && box == 1 && fed < input.size(); ++n) rec.stream.Feed(input[fed++]);
        };
        while (fed < input.size()) rec.stream.Feed(input[fed++]);
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldHandler);
        rec.stream.Drain();
        Pump();
        EXPECT_EQ(rec.boxes.texts, QStringList{kDiskFull});
        EXPECT_EQ(rec.window.closeRequests, 0);
        EXPECT_EQ(rec.sim.played(), Concat(input));
        EXPECT_EQ(DirectMappingStop(), 0);
        ExpectWavOf(rec.path, {input.begin(), input.begin() + 3});
    }
}

TEST(RunnerErrors, AWindowStoppedWhileTheBoxIsOpenGetsNoCloseRequest) {
    Running run;
    MessageBoxRecorder boxes;
    boxes.whileOpen = [&](int) { FirBankStop(); };
    FirBankBlock(WAVE_ERR_OVERFLOW, 0, 0);
    Pump();
    EXPECT_EQ(run.window.closeRequests, 0);
    EXPECT_EQ(FirBankWindow, nullptr);
}

TEST(RunnerErrors, StopTakesTheEngineDownInOrderAndIsHarmlessWhenRepeated) {
    MessageBoxRecorder boxes;
    EXPECT_EQ(DirectMappingStop(), 1) << "idle";
    SimWaveBackend sim;
    FakeRunnerWindow window;
    DirectMappingStart(&window, 0, QString());
    EXPECT_TRUE(sim.isOpen(WaveDirection::Capture));
    EXPECT_TRUE(sim.isOpen(WaveDirection::Playback));
    sim.clearCalls();
    EXPECT_EQ(DirectMappingStop(), 0);
    EXPECT_FALSE(sim.isOpen(WaveDirection::Capture));
    EXPECT_FALSE(sim.isOpen(WaveDirection::Playback));
    const QStringList calls = sim.calls();
    const int resetCapture = IndexOfCall(calls, "reset capture");
    const int closeCapture = IndexOfCall(calls, "close capture");
    const int resetPlayback = IndexOfCall(calls, "reset playback");
    const int closePlayback = IndexOfCall(calls, "close playback");
    EXPECT_GE(resetCapture, 0) << calls.join(", ").toStdString();
    EXPECT_LT(resetCapture, closeCapture);
    EXPECT_LT(closeCapture, resetPlayback);
    EXPECT_LT(resetPlayback, closePlayback);
    EXPECT_EQ(DirectMappingWindow, nullptr);
    sim.clearCalls();
    EXPECT_EQ(DirectMappingStop(), 1);
    EXPECT_TRUE(sim.calls().isEmpty());
    Pump();
    EXPECT_TRUE(boxes.texts.isEmpty());
    EXPECT_EQ(window.closeRequests, 0);
}

TEST(RunnerErrors, StartFailuresAreReportedInOrderAndTheStopCleansUp) {
    struct Case {
        const char* what;
        std::function<void(SimWaveBackend&)> arrange;
        QString message;
    };
    const QTemporaryDir dir;
    const std::vector<Case> cases = {
        {"capture busy", [](SimWaveBackend& s) { s.setOpenFails(WaveDirection::Capture, true); },
         QStringLiteral("Unable to open the audio input device.\nThe device is probably busy.")},
        {"playback busy", [](SimWaveBackend& s) { s.setOpenFails(WaveDirection::Playback, true); },
         QStringLiteral("Unable to open the audio output device.\nThe device is probably busy.")},
        {"capture start", [](SimWaveBackend& s) { s.failNext(WaveDirection::Capture, SimOp::Prepare); },
         QStringLiteral("Unable to start recording.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimWaveBackend sim;
        MessageBoxRecorder boxes;
        FakeRunnerWindow window;
        c.arrange(sim);
        UserFirStart(&window, 0, QString());
        Pump();
        EXPECT_EQ(boxes.texts, QStringList{c.message});
        EXPECT_EQ(window.closeRequests, 1);
        EXPECT_EQ(UserFirWindow, &window) << "the pointer stays set until the stop";
        EXPECT_EQ(UserFirStop(), 0);
        EXPECT_FALSE(sim.isOpen(WaveDirection::Capture));
        EXPECT_FALSE(sim.isOpen(WaveDirection::Playback));
    }
}

TEST(RunnerErrors, AnOutputFileThatCannotBeCreatedIsReportedAsSuch) {
    SimWaveBackend sim;
    MessageBoxRecorder boxes;
    FakeRunnerWindow window;
    FirBankStart(&window, 1, QStringLiteral("/nonexistent-directory/zq/out.wav"));
    Pump();
    EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("Unable to open the output file.")});
    EXPECT_EQ(window.closeRequests, 1);
    EXPECT_EQ(FirBankStop(), 0);
}

TEST(RunnerErrors, AnEngineAlreadyInUseFailsTheInitialisation) {
    MessageBoxRecorder boxes;
    FakeRunnerWindow other;
    FakeRunnerWindow window;
    ASSERT_EQ(WaveInit(&other, NoProc), 0);
    DirectMappingStart(&window, 0, QString());
    Pump();
    EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("Initialisation of the audio system failed.")});
    EXPECT_EQ(window.closeRequests, 1);
    EXPECT_EQ(WaveExit(), 0);
    DirectMappingStop();
}

TEST(RunnerErrors, OutputGoesToTheChosenFile) {
    Recording rec(DirectMappingStart);
    const std::vector<Block> input = RandomBlocks(4, 12);
    for (const Block& b : input) rec.stream.Feed(b);
    rec.stream.Drain();
    EXPECT_EQ(DirectMappingStop(), 0);
    EXPECT_TRUE(rec.boxes.texts.isEmpty());
    // The file holds exactly the played blocks, in playing order.
    ASSERT_EQ(rec.sim.played(), Concat(input));
    ExpectWavOf(rec.path, input);
}

// The WAV file cannot be finished at the stop: the user hears of it once the engine is down, and the
// engine is free for the next function.
TEST(RunnerErrors, AWavFileThatCannotBeFinishedIsToldAfterTheStop) {
    Recording rec(FirBankStart);
    for (const Block& b : RandomBlocks(4, 15)) rec.stream.Feed(b);
    ASSERT_TRUE(FailWritesToOpenFile(rec.path));
    bool engineDown = false;
    rec.boxes.whileOpen = [&](int) {
        engineDown = !rec.sim.isOpen(WaveDirection::Capture) && !rec.sim.isOpen(WaveDirection::Playback) &&
                     FirBankWindow == nullptr;
    };
    EXPECT_EQ(FirBankStop(), 0);
    EXPECT_EQ(rec.boxes.texts, QStringList{kFileWrite});
    EXPECT_TRUE(engineDown);
    Pump();
    EXPECT_EQ(rec.window.closeRequests, 0) << "the window is closing already";

    FakeRunnerWindow next;
    FirBankStart(&next, 0, QString());
    EXPECT_EQ(FirBankWindow, &next);
    EXPECT_EQ(FirBankStop(), 0);
    EXPECT_EQ(rec.boxes.texts.size(), 1);
}
