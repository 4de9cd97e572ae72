// The three function control windows over the simulated devices.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <cmath>

#include "dsp/filter_bank.h"
#include "dsp/fir_analysis.h"
#include "engine/wave_engine.h"
#include "runners/runners.h"
#include "tests/support/runner_test_support.h"
#include "ui/filter_response_dlg.h"
#include "ui/function_dlgs.h"
#include "ui/output_choice.h"
#include "ui/spectrum_display_dlg.h"

using namespace zqtest;

namespace {

// The main window as the function windows see it.
class TestOwner : public QDialog, public COutputChoice {
public:
    TestOwner() { resize(400, 300); }
};

struct FileDialogRecorder {
    QList<FileDialogRequest> requests;
    FileDialogResult answer;
    FileDialogRecorder() {
        SetFileDialogHook([this](const FileDialogRequest& r) {
            requests.append(r);
            return answer;
        });
    }
    ~FileDialogRecorder() { SetFileDialogHook({}); }
    void Choose(const QString& path) {
        answer.accepted = true;
        answer.path = path;
        answer.fileName = QFileInfo(path).fileName();
    }
};

// Records the order in which objects are destroyed.
struct DestroyLog {
    QStringList order;
    void Watch(QObject* object, const QString& name) {
        QObject::connect(object, &QObject::destroyed, [this, name] { order.append(name); });
    }
};

class FunctionWindows : public ::testing::Test {
protected:
    void SetUp() override {
        owner.show();
        std::remove(FilterBankPath().c_str());
    }
    void TearDown() override {
        Pump();
        EXPECT_EQ(DirectMappingWindow, nullptr);
        EXPECT_EQ(FirBankWindow, nullptr);
        EXPECT_EQ(UserFirWindow, nullptr);
        EXPECT_EQ(g_nSpectrumWindows, 0);
        std::remove(FilterBankPath().c_str());
    }
    // As the main window does it: hide itself, show the function window.
    template <class Dlg>
    void ShowInPlaceOfOwner(Dlg* dlg) {
        owner.hide();
        dlg->show();
    }

    SimWaveBackend sim;
    MessageBoxRecorder boxes;
    FileDialogRecorder files;
    TestOwner owner;
    QTemporaryDir dir;
};

void WriteLowPassBank(int taps = 1000) {
    std::vector<double> h(taps, 1.0 / taps);
    WriteBank(FilterBankPath(), {{"Tiefpa\xdf", h}, {"Second", {1.0}}});
}

}  // namespace

TEST_F(FunctionWindows, DirectMappingWindowStartsItsRunnerHiddenTopmostAndCentred) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
    auto* dlg = new CDirectMappingDlg(&owner);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(DirectMappingWindow, dlg);
    EXPECT_TRUE(sim.isOpen(WaveDirection::Capture));
    EXPECT_TRUE(sim.isOpen(WaveDirection::Playback));
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("ZORIQ1: Direct mapping"));
    EXPECT_TRUE(dlg->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(dlg->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dlg->windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_EQ(dlg->m_btnSpectrum->text(), QStringLiteral("Spectrum &Display"));
    EXPECT_EQ(dlg->m_btnSpectrum->property("ctrlId").toInt(), 1022);
    EXPECT_FALSE(dlg->m_btnSpectrum->isChecked());
    ASSERT_NE(dlg->m_btnStop, nullptr);
    EXPECT_EQ(dlg->m_btnStop->text(), QStringLiteral("Stop &Function"));
    EXPECT_EQ(dlg->m_btnStop->property("ctrlId").toInt(), 2);
    EXPECT_TRUE(dlg->m_btnStop->isDefault());
    // Centred while hidden, before it has a frame (offscreen frames are 2 pixels): frame over frame.
    const QPoint ownerCentre = owner.frameGeometry().center();
    ShowInPlaceOfOwner(dlg);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg));
    ASSERT_GT(dlg->frameGeometry().width(), dlg->width());
    EXPECT_LE((dlg->frameGeometry().center() - ownerCentre).manhattanLength(), 1);
    QPointer<CDirectMappingDlg> alive(dlg);
    dlg->m_btnStop->click();
    Pump();
    EXPECT_TRUE(alive.isNull());
    EXPECT_TRUE(owner.isVisible());
    EXPECT_FALSE(sim.isOpen(WaveDirection::Capture));
    EXPECT_TRUE(boxes.texts.isEmpty());
}

TEST_F(FunctionWindows, TickingAndClearingOpensAndClosesOneSpectrumWindowFedFromTheNextBlock) {
    auto* dlg = new CDirectMappingDlg(&owner);
    ShowInPlaceOfOwner(dlg);
    SimStream stream(sim);
    const std::vector<Block> input = RandomBlocks(8, 21);
    for (int round = 0; round < 3; ++round) {
        dlg->m_btnSpectrum->click();
        ASSERT_NE(dlg->m_pSpectrum, nullptr);
        EXPECT_EQ(dlg->m_bSpectrum, 1);
        EXPECT_EQ(g_nSpectrumWindows, 1);
        EXPECT_EQ(dlg->m_pSpectrum->windowTitle(), QStringLiteral("ZORIQ1: Spectrum Display"));
        EXPECT_TRUE(dlg->m_pSpectrum->isVisible());
        EXPECT_EQ(dlg->m_pSpectrum->m_nPoints, 0);
        const long before = RunnerSpectrumFrames();
        stream.Feed(input[round]);
        EXPECT_EQ(RunnerSpectrumFrames(), before + 1);
        EXPECT_GT(dlg->m_pSpectrum->m_nPoints, 0);

        dlg->m_btnSpectrum->click();
        EXPECT_EQ(dlg->m_pSpectrum, nullptr);
        EXPECT_EQ(dlg->m_bSpectrum, 0);
        EXPECT_EQ(g_nSpectrumWindows, 0);
        stream.Feed(input[round + 3]);
        EXPECT_EQ(RunnerSpectrumFrames(), before + 1) << "fed after it closed";
    }
    dlg->reject();
}

TEST_F(FunctionWindows, StopWithBothSpectrumWindowsOpenClosesInputThenOutputThenItself) {
    WriteLowPassBank();
    auto* dlg = new CFirFilterDlg(0, &owner);
    ASSERT_EQ(FirBankWindow, dlg);
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("ZORIQ1: FIR filter"));
    EXPECT_EQ(dlg->m_stcCount->text(), QStringLiteral("1000"));
    EXPECT_EQ(dlg->m_edtDescription->text(), QString::fromUtf8("Tiefpa\xc3\x9f"));
    EXPECT_EQ(dlg->m_nFilterIndex, 0);
    ShowInPlaceOfOwner(dlg);
    dlg->m_btnSpectrumIn->click();
    ASSERT_NE(dlg->m_pSpectrumIn, nullptr);
    // The boxes' keys work in a spectrum window too, where a Wayland compositor puts the focus.
    dlg->m_pSpectrumIn->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg->m_pSpectrumIn));
    QTest::keyClick(dlg->m_pSpectrumIn->windowHandle(), Qt::Key_O, Qt::AltModifier);
    Pump();
    ASSERT_NE(dlg->m_pSpectrumIn, nullptr);
    ASSERT_NE(dlg->m_pSpectrumOut, nullptr);
    EXPECT_EQ(dlg->m_pSpectrumIn->windowTitle(), QStringLiteral("ZORIQ1: Spectrum Display Input"));
    EXPECT_EQ(dlg->m_pSpectrumOut->windowTitle(), QStringLiteral("ZORIQ1: Spectrum Display Output"));
    EXPECT_EQ(g_nSpectrumWindows, 2);

    SimStream stream(sim);
    const long before = RunnerSpectrumFrames();
    stream.Feed(RandomBlocks(1, 22)[0]);
    EXPECT_EQ(RunnerSpectrumFrames(), before + 2);

    DestroyLog log;
    log.Watch(dlg->m_pSpectrumIn, "input");
    log.Watch(dlg->m_pSpectrumOut, "output");
    log.Watch(dlg, "window");
    dlg->m_btnStop->click();
    EXPECT_EQ(FirBankWindow, nullptr) << "the runner stops first";
    EXPECT_TRUE(owner.isVisible());
    Pump();
    EXPECT_EQ(log.order, (QStringList{"input", "output", "window"}));
    EXPECT_FALSE(sim.isOpen(WaveDirection::Playback));
}

TEST_F(FunctionWindows, EnterAndEscapeStopTheFunction) {
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        SCOPED_TRACE(key);
        QPointer<CDirectMappingDlg> dlg = new CDirectMappingDlg(&owner);
        ShowInPlaceOfOwner(dlg.data());
        QTest::keyClick(dlg->m_btnSpectrum, key);
        Pump();
        EXPECT_TRUE(dlg.isNull());
        EXPECT_EQ(DirectMappingWindow, nullptr);
        EXPECT_TRUE(owner.isVisible());
    }
}

TEST_F(FunctionWindows, ABankEntryTooLongClosesTheWindowWithoutOpeningADevice) {
    WriteBank(FilterBankPath(), {{"Long", std::vector<double>(1001, 0.001)}});
    QPointer<CFirFilterDlg> dlg = new CFirFilterDlg(0, &owner);
    EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("Error reading filter coefficients.")});
    EXPECT_EQ(FirBankWindow, nullptr);
    EXPECT_TRUE(sim.calls().isEmpty()) << sim.calls().join(", ").toStdString();
    ShowInPlaceOfOwner(dlg.data());
    Pump();
    EXPECT_TRUE(dlg.isNull());
    EXPECT_TRUE(owner.isVisible());
}

TEST_F(FunctionWindows, AMissingBankOrIndexIsAReadError) {
    for (int index : {0, 2, -1}) {
        if (index != 0) WriteLowPassBank(3);
        QPointer<CFirFilterDlg> dlg = new CFirFilterDlg(index, &owner);
        Pump();
        EXPECT_TRUE(dlg.isNull());
    }
    EXPECT_EQ(boxes.texts.size(), 3);
    EXPECT_TRUE(sim.calls().isEmpty());
}

TEST_F(FunctionWindows, TheUserFilterAsksForAnExistingFirFileFirst) {
    QPointer<CUserFirFilterDlg> dlg = new CUserFirFilterDlg(&owner);
    ASSERT_EQ(files.requests.size(), 1);
    const FileDialogRequest& r = files.requests[0];
    EXPECT_EQ(r.title, QStringLiteral("Select the FIR filter coefficient file"));
    EXPECT_EQ(r.filter, QStringLiteral("FIR Filter Files (*.fir)|*.fir||"));
    EXPECT_EQ(r.defaultExtension, QStringLiteral("fir"));
    EXPECT_TRUE(r.mustExist);
    EXPECT_FALSE(r.save);
    EXPECT_TRUE(r.initialName.isEmpty());
    // Cancelled: no message, no device, the window goes.
    EXPECT_TRUE(boxes.texts.isEmpty());
    EXPECT_TRUE(sim.calls().isEmpty());
    EXPECT_EQ(UserFirWindow, nullptr);
    EXPECT_FALSE(dlg->windowFlags() & Qt::WindowStaysOnTopHint);
    Pump();
    EXPECT_TRUE(dlg.isNull());
    EXPECT_TRUE(owner.isVisible());
}

TEST_F(FunctionWindows, ACoefficientFileWithTooManyValuesClosesTheWindow) {
    std::string text;
    for (int n = 0; n < 1001; ++n) text += "0.001\n";
    const QString path = dir.filePath(QStringLiteral("long.fir"));
    WriteText(path.toStdString(), text);
    files.Choose(path);
    QPointer<CUserFirFilterDlg> dlg = new CUserFirFilterDlg(&owner);
    EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("Error reading filter coefficient file.")});
    EXPECT_TRUE(sim.calls().isEmpty());
    Pump();
    EXPECT_TRUE(dlg.isNull());
}

TEST_F(FunctionWindows, TheUserFilterShowsItsFileInFullAndRunsWithoutADescription) {
    // A directory path far longer than any fixed path buffer.
    QString deep = dir.path();
    for (int n = 0; n < 12; ++n)
        deep += QStringLiteral("/a-rather-long-directory-name-%1-xxxxxxxxxxxxxxxxxxxxxxxx").arg(n);
    ASSERT_TRUE(QDir().mkpath(deep));
    const QString path = deep + QStringLiteral("/delay.fir");
    ASSERT_GT(path.size(), 600);
    WriteText(path.toStdString(), "0.0, 1.0\n");
    files.Choose(path);
    auto* dlg = new CUserFirFilterDlg(&owner);
    EXPECT_TRUE(boxes.texts.isEmpty());
    EXPECT_EQ(UserFirWindow, dlg);
    EXPECT_EQ(dlg->m_edtFileName->text(), path);
    EXPECT_EQ(dlg->m_stcCount->text(), QStringLiteral("2"));
    EXPECT_TRUE(dlg->m_edtDescription->text().isEmpty());
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("ZORIQ1: User defined FIR filter"));
    dlg->reject();
}

TEST_F(FunctionWindows, TheDescriptionIsDecodedFromTheWindowsCodePage) {
    const QString path = dir.filePath(QStringLiteral("desc.fir"));
    WriteText(path.toStdString(), "; Gl\x84ttung \x80 5\n0.5 0.5\n");
    files.Choose(path);
    auto* dlg = new CUserFirFilterDlg(&owner);
    EXPECT_EQ(dlg->m_edtDescription->text(), QString::fromUtf8(" Gl\xe2\x80\x9ettung \xe2\x82\xac 5"));
    dlg->reject();
}

TEST_F(FunctionWindows, TheOwnersOutputChoiceReachesTheRunner) {
    const QString path = dir.filePath(QStringLiteral("run.wav"));
    owner.m_bOutputToFile = 1;
    owner.m_strOutputPath = path;
    owner.m_strOutputFileName = QStringLiteral("run.wav");
    auto* dlg = new CDirectMappingDlg(&owner);
    // Changing the choice afterwards has no effect on the running function.
    owner.m_bOutputToFile = 0;
    owner.m_strOutputPath.clear();
    SimStream stream(sim);
    for (const Block& b : RandomBlocks(3, 23)) stream.Feed(b);
    stream.Drain();
    dlg->reject();
    EXPECT_TRUE(QFile::exists(path));
}

TEST_F(FunctionWindows, AnErrorDuringTheRunClosesTheWindowButTheDiskFullNoticeDoesNot) {
    QPointer<CDirectMappingDlg> dlg = new CDirectMappingDlg(&owner);
    ShowInPlaceOfOwner(dlg.data());
    dlg->m_btnSpectrum->click();
    DirectMappingBlock(WAVE_ERR_FILE_FULL, 0, 0);
    Pump();
    ASSERT_FALSE(dlg.isNull());
    EXPECT_EQ(DirectMappingWindow, dlg.data());
    DirectMappingBlock(WAVE_ERR_OVERFLOW, 0, 0);
    DirectMappingBlock(WAVE_ERR_OVERFLOW, 0, 0);  // a second request finds no window
    Pump();
    EXPECT_TRUE(dlg.isNull());
    EXPECT_TRUE(owner.isVisible());
    EXPECT_EQ(boxes.texts.size(), 3);
}

// The second box's nested loop runs the stop while the engine's hidden window is still handling the
// notification that opened the box.
TEST_F(FunctionWindows, AStopRunInsideTheEnginesOwnHandlerLeavesNothingFreedInUse) {
    QPointer<CDirectMappingDlg> dlg = new CDirectMappingDlg(&owner);
    ShowInPlaceOfOwner(dlg.data());
    const auto deliver = [] { QCoreApplication::sendPostedEvents(); };
    boxes.whileOpen = [&](int box) {
        if (box == 1)
            sim.completeCapture();  // queued ahead of the close request this box is about to post
        else
            Pump();  // the close request: the stop, the engine's shutdown, deferred deletes
    };
    // Everything queued has played when the third block arrives: the overflow holds.
    sim.completeCapture();
    deliver();
    sim.completeCapture();
    deliver();
    sim.completePlayback();
    sim.completePlayback();
    deliver();
    sim.completeCapture();
    deliver();
    Pump();
    EXPECT_EQ(boxes.texts,
              (QStringList{QStringLiteral("Output buffer overflow"), QStringLiteral("Output buffer overflow")}));
    EXPECT_TRUE(dlg.isNull());
    EXPECT_TRUE(owner.isVisible());
    EXPECT_FALSE(sim.isOpen(WaveDirection::Playback));
    // The engine comes up again for the next function.
    auto* next = new CDirectMappingDlg(&owner);
    EXPECT_EQ(DirectMappingWindow, next);
    next->reject();
}

TEST_F(FunctionWindows, AWavFileThatCannotBeFinishedIsToldAsTheWindowCloses) {
    const QString path = dir.filePath(QStringLiteral("out.wav"));
    owner.m_bOutputToFile = 1;
    owner.m_strOutputPath = path;
    QPointer<CDirectMappingDlg> dlg = new CDirectMappingDlg(&owner);
    ShowInPlaceOfOwner(dlg.data());
    SimStream stream(sim);
    for (const Block& b : RandomBlocks(4, 24)) stream.Feed(b);
    ASSERT_TRUE(FailWritesToOpenFile(path));
    boxes.whileOpen = [&](int) {
        // A close request handled meanwhile finds the window stopping already.
        PostCloseRequest(dlg.data());
        Pump();
        EXPECT_FALSE(dlg.isNull());
    };
    dlg->m_btnStop->click();
    Pump();
    EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("Error writing to output wave file.")});
    EXPECT_TRUE(dlg.isNull());
    EXPECT_TRUE(owner.isVisible());
}

TEST_F(FunctionWindows, AFailedStartIsReportedAndTheWindowCloses) {
    sim.setOpenFails(WaveDirection::Capture, true);
    QPointer<CDirectMappingDlg> dlg = new CDirectMappingDlg(&owner);
    EXPECT_EQ(boxes.texts.size(), 1);
    ShowInPlaceOfOwner(dlg.data());
    Pump();
    EXPECT_TRUE(dlg.isNull());
    EXPECT_TRUE(owner.isVisible());
}

TEST_F(FunctionWindows, AWindowDeletedWithItsOwnerStopsItsRunnerAndSpectrumWindows) {
    auto* other = new TestOwner;
    auto* dlg = new CUserFirFilterDlg(other);  // cancelled file dialog: nothing runs
    delete other;
    auto* owner2 = new TestOwner;
    WriteLowPassBank(5);
    auto* fir = new CFirFilterDlg(1, owner2);
    fir->m_btnSpectrumIn->click();
    ASSERT_EQ(FirBankWindow, fir);
    delete owner2;
    EXPECT_EQ(FirBankWindow, nullptr);
    EXPECT_EQ(g_nSpectrumWindows, 0);
    EXPECT_FALSE(sim.isOpen(WaveDirection::Capture));
    (void)dlg;
}

// The telephone band filter of the default bank, white noise through it on the simulated device: the
// measured curve lies on the designed one in the pass band and far down in the stop band.
TEST_F(FunctionWindows, TheResponseWindowMeasuresWhatTheFilterWasDesignedToDo) {
    ASSERT_TRUE(QFile::copy(QStringLiteral(ZQ_DEFAULT_BANK), QString::fromStdString(FilterBankPath())));
    auto* dlg = new CFirFilterDlg(4, &owner);
    ASSERT_TRUE(dlg->m_edtDescription->text().startsWith("Telephone band"));
    ShowInPlaceOfOwner(dlg);
    dlg->m_btnSpectrumIn->click();
    dlg->m_btnSpectrumOut->click();
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg));
    EXPECT_EQ(dlg->contextMenuPolicy(), Qt::ActionsContextMenu);
    EXPECT_TRUE(dlg->actions().contains(dlg->m_actResponse));
    QTest::keyClick(dlg->windowHandle(), Qt::Key_R, Qt::AltModifier);
    Pump();
    QPointer<CFilterResponseDlg> response = dlg->m_pResponse;
    ASSERT_FALSE(response.isNull());
    EXPECT_TRUE(dlg->m_actResponse->isChecked());
    EXPECT_TRUE(response->isVisible());
    // Beside the spectrum column when there is room, and inside the work area whatever.
    const QRect frame = response->frameGeometry();
    EXPECT_TRUE(WorkArea(response).contains(frame));
    EXPECT_TRUE(frame.left() == dlg->m_pSpectrumIn->frameGeometry().right() + 1 ||
                frame.right() == WorkArea(response).right());
    EXPECT_EQ(frame.top(), WorkArea(response).top());

    // The designed curve is the coefficients' |H| at every bin.
    ASSERT_EQ(response->m_designed.size(), 1025u);
    for (int k : {0, 93, 186, 600, 1024})
        EXPECT_NEAR(response->m_designed[k],
                    FirGainDb(BankCoefficients, BankCoefficientCount, k * 11025.0 / 2048, 11025), 1e-9);

    SimStream stream(sim);
    for (int b = 0; b < 3; ++b) stream.Feed(Block(2048, 0));
    for (double db : response->m_measured) ASSERT_TRUE(std::isnan(db)) << "silence measures nothing";
    const long before = RunnerSpectrumFrames();
    const std::vector<Block> noise = RandomBlocks(250, 26, 8000);
    stream.Feed(noise[0]);
    stream.Feed(noise[1]);
    EXPECT_EQ(RunnerSpectrumFrames(), before + 4) << "one transform of each block for all three windows";
    dlg->m_btnSpectrumIn->click();
    dlg->m_btnSpectrumOut->click();
    for (std::size_t b = 2; b < noise.size(); ++b) stream.Feed(noise[b]);
    // The estimate is unbiased, but a filter's delay leaves it noisy: it settles with the blocks averaged.
    EXPECT_EQ(response->m_estimate.Blocks(), 252);
    int pass = 0, stop = 0;
    for (int k = 1; k < 1025; ++k) {
        const double hz = k * 11025.0 / 2048, designed = response->m_designed[k], measured = response->m_measured[k];
        ASSERT_FALSE(std::isnan(measured)) << hz;
        if (hz >= 400 && hz <= 3300) {
            EXPECT_NEAR(measured, designed, 1.0) << hz;
            ++pass;
        }
        if (designed <= -60) {
            EXPECT_LE(measured, -60) << hz;
            ++stop;
        }
    }
    EXPECT_GT(pass, 500);
    EXPECT_GT(stop, 400);
    EXPECT_EQ(response->m_nClipped, 0);
    EXPECT_EQ(response->m_nSamples, 253 * 2048);
    // What a screen reader reads: the cursor, what the curve is based on, the clipped samples.
    EXPECT_TRUE(response->m_staticReadout->text().startsWith("1001.3 Hz: designed "))
        << response->m_staticReadout->text().toStdString();
    EXPECT_TRUE(response->m_staticReadout->text().contains(", measured -0."))
        << response->m_staticReadout->text().toStdString();
    EXPECT_EQ(response->m_plot->accessibleDescription(), response->m_staticReadout->text());
    EXPECT_TRUE(response->m_staticBasis->text().startsWith("Measured over 252 blocks (46.8 s)"));
    EXPECT_EQ(response->m_staticClipped->text(), QStringLiteral("Clipped output samples: 0 of 518144 (0.00 %)"));
    response->m_plot->setFocus();
    QTest::keyClick(response->m_plot, Qt::Key_Home);
    EXPECT_TRUE(response->m_staticReadout->text().startsWith("0.0 Hz: designed -"));
    QTest::keyClick(response->m_plot, Qt::Key_End);
    EXPECT_TRUE(response->m_staticReadout->text().startsWith("5512.5 Hz: designed -"));

    // The menu's entry closes it again, the key opens it again, and it goes with the function.
    dlg->m_actResponse->trigger();
    Pump();
    EXPECT_TRUE(response.isNull());
    EXPECT_EQ(dlg->m_pResponse, nullptr);
    dlg->m_actResponse->trigger();
    response = dlg->m_pResponse;
    ASSERT_FALSE(response.isNull());
    stream.Feed(RandomBlocks(1, 27, 8000)[0]);
    EXPECT_EQ(response->m_estimate.Blocks(), 0) << "a new window starts a new average";
    DestroyLog log;
    log.Watch(response, "response");
    log.Watch(dlg, "window");
    dlg->m_btnStop->click();
    Pump();
    EXPECT_EQ(log.order, (QStringList{"response", "window"}));
}

// Direct mapping shows its flat 0 dB; a filter that clips counts exactly the samples it clipped since
// the start, also those from before the window opened.
TEST_F(FunctionWindows, TheResponseWindowServesEveryFunctionAndCountsClippedSamples) {
    auto* direct = new CDirectMappingDlg(&owner);
    ShowInPlaceOfOwner(direct);
    direct->m_actResponse->trigger();
    ASSERT_NE(direct->m_pResponse, nullptr);
    SimStream stream(sim);
    for (const Block& block : RandomBlocks(3, 28, 1000)) stream.Feed(block);
    for (int k = 0; k < 1025; ++k) {
        EXPECT_NEAR(direct->m_pResponse->m_designed[k], 0.0, 1e-12);
        EXPECT_NEAR(direct->m_pResponse->m_measured[k], 0.0, 1e-9);
    }
    // Its close box closes it; the function goes on.
    QPointer<CFilterResponseDlg> response = direct->m_pResponse;
    response->close();
    EXPECT_EQ(direct->m_pResponse, nullptr);
    EXPECT_FALSE(direct->m_actResponse->isChecked());
    Pump();
    EXPECT_TRUE(response.isNull());
    EXPECT_EQ(DirectMappingWindow, direct);
    direct->reject();
    Pump();

    const std::vector<double> h{1.0, 0.6};
    WriteBank(FilterBankPath(), {{"Loud", h}});
    auto* dlg = new CFirFilterDlg(0, &owner);
    ShowInPlaceOfOwner(dlg);
    std::vector<Block> input = RandomBlocks(5, 29);
    // At a limit without clipping: 32767 exactly, and -32768.6, which truncates to -32768.
    input[1][0] = 0, input[1][1] = 32767, input[1][2] = -1, input[1][3] = -32768;
    // Across a block boundary.
    input[2][2047] = 30000, input[3][0] = 20000;
    stream.Feed(input[0]);
    dlg->m_actResponse->trigger();
    ASSERT_NE(dlg->m_pResponse, nullptr);
    for (std::size_t b = 1; b < input.size(); ++b) stream.Feed(input[b]);
    const std::vector<int16_t> x = Concat(input);
    long long expected = 0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double sum = x[n] * h[0] + (n > 0 ? x[n - 1] * h[1] : 0.0);
        expected += std::trunc(sum) > 32767 || std::trunc(sum) < -32768;
    }
    EXPECT_GT(expected, 100);
    EXPECT_EQ(dlg->m_pResponse->m_nClipped, expected);
    EXPECT_EQ(dlg->m_pResponse->m_nSamples, 5 * 2048);
    EXPECT_EQ(dlg->m_pResponse->m_staticClipped->text(),
              QString::asprintf("Clipped output samples: %lld of 10240 (%.2f %%)", expected, expected * 100.0 / 10240));
    dlg->reject();
}
