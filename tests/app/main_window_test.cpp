#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/processor_app.h"
#include "dsp/filter_bank.h"
#include "tests/support/sim_device.h"
#include "ui/function_dlgs.h"
#include "ui/processor_dlg.h"
#include "ui/spectrum_display_dlg.h"

namespace {

void put32(std::string& out, int32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
}

// A bank of n filters of one coefficient each, optionally cut after `cut` bytes.
void writeBank(int32_t n, size_t cut = std::string::npos, int stored = -1) {
    std::string out;
    put32(out, stored >= 0 ? stored : n);
    for (int i = 0; i < n; ++i) {
        std::string name = "Filter " + std::to_string(i) + (i == 0 ? " \xE9t\xE9 \x80" : "");
        name.resize(128, '\0');
        out += name;
        put32(out, 4 + 136 * n + 8 * i);
        put32(out, 1);
    }
    for (int i = 0; i < n; ++i) {
        const double c = 1.0;
        out.append(reinterpret_cast<const char*>(&c), 8);
    }
    std::ofstream(FilterBankPath(), std::ios::binary) << out.substr(0, cut);
}

QStringList entries(const CProcessorDlg& dlg) {
    QStringList list;
    for (int i = 0; i < dlg.m_lstFunctions->count(); ++i) list << dlg.m_lstFunctions->item(i)->text();
    return list;
}

// The function windows that exist now, by class.
template <typename T>
T* functionWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* f = qobject_cast<T*>(w); f && !f->isBeingDestroyed()) return f;
    return nullptr;
}

class MainWindow : public testing::Test {
protected:
    void SetUp() override {
        std::remove(FilterBankPath().c_str());
        SetMessageBoxHook([this](const QString&, const QString& text, unsigned type) {
            messages << text;
            return (type & 0xF) == MB_YESNO ? answer : IDOK;
        });
    }
    void TearDown() override {
        SetMessageBoxHook({});
        SetFileDialogHook({});
        std::remove(FilterBankPath().c_str());
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    SimWaveBackend sim;
    QStringList messages;
    int answer = IDNO;
};

}  // namespace

TEST_F(MainWindow, WithoutABankListsTheTwoFixedFunctions) {
    CProcessorDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), "ZORIQ1  Quorvel 1");
    EXPECT_EQ(entries(dlg), QStringList({"Direct mapping of input to output", "User defined FIR filter"}));
    EXPECT_EQ(dlg.m_nFirstFilterIndex, 0);
    EXPECT_EQ(dlg.m_nLastFilterIndex, 0);
    EXPECT_EQ(dlg.m_lstFunctions->currentRow(), 0);
    EXPECT_TRUE(dlg.m_btnStartFunction->isDefault());
    // An application's own window, not a dialog: managers give a dialog no minimise button.
    EXPECT_EQ(dlg.windowType(), Qt::Window);
    EXPECT_TRUE(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
}

TEST_F(MainWindow, BankFiltersSitBetweenTheFixedEntries) {
    writeBank(3);
    CProcessorDlg dlg;
    const QStringList list = entries(dlg);
    ASSERT_EQ(list.size(), 5);
    EXPECT_EQ(list[1], QString::fromUtf8("Filter 0 été €"));  // names are Windows-1252 text
    EXPECT_EQ(list[3], "Filter 2");
    EXPECT_EQ(list[4], "User defined FIR filter");
    EXPECT_EQ(dlg.m_nFirstFilterIndex, 1);
    EXPECT_EQ(dlg.m_nLastFilterIndex, 3);
}

TEST_F(MainWindow, BankLimitsAndBrokenBanks) {
    struct Case {
        int32_t n;
        size_t cut;
        int entries;
        int last;
    } cases[] = {{0, std::string::npos, 2, 0},
                 {100, std::string::npos, 102, 100},
                 {101, std::string::npos, 2, 0},
                 {5, 4 + 136 * 2 + 10, 2, 0}};
    for (const Case& c : cases) {
        writeBank(c.n, c.cut);
        CProcessorDlg dlg;
        EXPECT_EQ(dlg.m_lstFunctions->count(), c.entries) << c.n;
        EXPECT_EQ(dlg.m_nLastFilterIndex, c.last) << c.n;
        EXPECT_EQ(dlg.m_lstFunctions->item(c.entries - 1)->text(), "User defined FIR filter");
    }
    writeBank(0, std::string::npos, 0);
    std::string negative;
    put32(negative, -4);
    std::ofstream(FilterBankPath(), std::ios::binary) << negative;
    CProcessorDlg dlg;
    EXPECT_EQ(entries(dlg).size(), 2);
    EXPECT_EQ(dlg.m_nFirstFilterIndex, 1);
    EXPECT_EQ(dlg.m_nLastFilterIndex, 0);
}

TEST_F(MainWindow, StartFunctionChecksSelectionAndOutputFileFirst) {
    CProcessorDlg dlg;
    dlg.show();
    dlg.m_lstFunctions->clearSelection();
    dlg.m_chkOutputToFile->setChecked(true);
    dlg.OnStartFunction();
    EXPECT_EQ(messages, QStringList({"No function selected.\nPlease select a function."}));
    EXPECT_EQ(dlg.GetOutputToFile(), 1);  // taken before any test
    dlg.m_lstFunctions->setCurrentRow(0);
    dlg.OnStartFunction();
    EXPECT_EQ(messages.last(), "You have selected output to a file.\nPlease specify an output file.");
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(functionWindow<CDirectMappingDlg>(), nullptr);
    EXPECT_TRUE(sim.calls().isEmpty());
}

TEST_F(MainWindow, DoubleClickStartsTheFunctionAndItsWindowBringsTheMainWindowBack) {
    writeBank(2);
    CProcessorDlg dlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QListWidgetItem* item = dlg.m_lstFunctions->item(2);
    const QRect rect = dlg.m_lstFunctions->visualItemRect(item);
    QTest::mouseClick(dlg.m_lstFunctions->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(dlg.m_lstFunctions->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(dlg.m_lstFunctions->currentRow(), 2);
    auto* fir = functionWindow<CFirFilterDlg>();
    ASSERT_NE(fir, nullptr);
    EXPECT_EQ(fir->m_nFilterIndex, 1);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_TRUE(fir->isVisible());
    EXPECT_TRUE(sim.isOpen(WaveDirection::Capture));
    QTest::keyClick(fir, Qt::Key_Escape);  // Stop Function
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(sim.isOpen(WaveDirection::Capture));
}

TEST_F(MainWindow, LastEntryStartsTheUserFilter) {
    CProcessorDlg dlg;
    bool asked = false;
    SetFileDialogHook([&](const FileDialogRequest& r) {
        asked = r.title == "Select the FIR filter coefficient file";
        return FileDialogResult{};
    });
    dlg.show();
    dlg.m_lstFunctions->setCurrentRow(1);
    dlg.OnStartFunction();
    EXPECT_TRUE(asked);
    QCoreApplication::sendPostedEvents();  // the cancelled dialog closes the window again
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(MainWindow, OutputChoiceIsASaveDialogAndACancelForgetsIt) {
    CProcessorDlg dlg;
    FileDialogRequest seen;
    FileDialogResult next{true, "/tmp/take one.wav", "take one.wav"};
    SetFileDialogHook([&](const FileDialogRequest& r) {
        seen = r;
        return next;
    });
    EXPECT_EQ(dlg.GetOutputPath(), "");
    EXPECT_EQ(dlg.GetOutputToFile(), 0);
    dlg.OnSelectOutputFile();
    EXPECT_TRUE(seen.save);  // asks before replacing an existing file
    EXPECT_EQ(seen.filter, "WAVE Files (*.wav)|*.wav||");
    EXPECT_EQ(seen.defaultExtension, "wav");
    EXPECT_EQ(dlg.GetOutputPath(), "/tmp/take one.wav");
    EXPECT_EQ(dlg.m_strOutputFileName, "take one.wav");
    EXPECT_EQ(dlg.m_edtOutputPath->text(), "/tmp/take one.wav");
    next = FileDialogResult{};
    dlg.OnSelectOutputFile();
    EXPECT_EQ(seen.initialName, "take one.wav");
    EXPECT_EQ(dlg.GetOutputPath(), "");
    EXPECT_EQ(dlg.m_strOutputFileName, "");
    EXPECT_EQ(dlg.m_edtOutputPath->text(), "");
    // The flag is the box as it was at the last Start Function, not as it is now.
    dlg.m_chkOutputToFile->setChecked(true);
    EXPECT_EQ(dlg.GetOutputToFile(), 0);
}

TEST_F(MainWindow, QuitAsksFirst) {
    CProcessorDlg dlg;
    dlg.show();
    answer = IDNO;
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_EQ(messages, QStringList({"Do you really want to quit ?"}));
    EXPECT_TRUE(dlg.isVisible());
    answer = IDYES;
    dlg.m_btnStopProgram->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
}

// Every window uses the one dialog font, and every text fits its control: a control the layout makes too
// narrow for the font has grown, clear of its neighbours and inside its window.
TEST_F(MainWindow, EveryTextFitsItsControlInTheOneFont) {
    writeBank(1);
    SetFileDialogHook([](const FileDialogRequest&) { return FileDialogResult{}; });
    CProcessorDlg main;
    main.show();
    const QList<QWidget*> windows{&main, new CDirectMappingDlg(&main), new CFirFilterDlg(0, &main),
                                  new CUserFirFilterDlg(&main),
                                  new CSpectrumDisplayDlg("ZORIQ1: Spectrum Display", 11025, 2048, &main)};
    for (QWidget* window : windows) {
        const std::string title = window->windowTitle().toStdString();
        EXPECT_EQ(window->font(), QApplication::font()) << title;
        QList<QWidget*> controls;
        for (QWidget* control : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            QString text;
            if (auto* label = qobject_cast<QLabel*>(control))
                text = label->text();
            else if (auto* button = qobject_cast<QAbstractButton*>(control))
                text = button->text();
            else if (!qobject_cast<QLineEdit*>(control))
                continue;
            for (QWidget* other : controls) {  // not even touching side by side
                EXPECT_FALSE(control->geometry().adjusted(-2, 0, 2, 0).intersects(other->geometry()))
                    << title << ": " << text.toStdString();
            }
            controls << control;
            EXPECT_TRUE(window->rect().contains(control->geometry())) << title << ": " << text.toStdString();
            if (!text.isEmpty()) {
                EXPECT_GE(control->width(), control->sizeHint().width()) << title << ": " << text.toStdString();
            }
        }
    }
    qDeleteAll(windows.mid(1));
}

TEST(StartUp, ProbeFailuresShowTheirMessageAndNoMainWindow) {
    const char* expected[] = {
        "Error:\nThe wave input device can not be opened.\n\n(Possible problem: the wave input device is busy.)",
        "Error:\nThe wave output device can not be opened.\n\n(Possible problem: the wave output device is busy.)",
        "Error:\nNeither the wave input device nor the wave output device can be opened.\n\n"
        "(Possible problems: no soundcard or no driver installed or both devices busy.)",
        "Error:\nThe wave input and the wave output devices can not be opened simultaneously.\n\n"
        "(Possible problem: driver does not support full duplex operation.)",
        "Unknown error.\n\n(Try again.)",
    };
    for (int code = 1; code <= 5; ++code) {
        SimWaveBackend sim;
        using D = WaveDirection;
        const SimWaveBackend* s = &sim;
        switch (code) {
        case 1: sim.setOpenFails(D::Capture, true); break;
        case 2: sim.setOpenFails(D::Playback, true); break;
        case 3: sim.setOpenFails(D::Capture, true), sim.setOpenFails(D::Playback, true); break;
        case 4:
            sim.setOpenRule([s](D d, int) { return !s->isOpen(d == D::Capture ? D::Playback : D::Capture); });
            break;
        case 5: sim.setOpenRule([](D d, int attempt) { return !(d == D::Playback && attempt == 1); }); break;
        }
        QStringList shown;
        bool mainWindowSeen = false;
        SetMessageBoxHook([&](const QString& title, const QString& text, unsigned) {
            EXPECT_EQ(title, "main_window_tests");
            for (QWidget* w : QApplication::topLevelWidgets())
                if (qobject_cast<CProcessorDlg*>(w)) mainWindowSeen = true;
            shown << text;
            return IDOK;
        });
        EXPECT_EQ(ProcessorAppRun(), 1);
        SetMessageBoxHook({});
        EXPECT_EQ(shown, QStringList({expected[code - 1]})) << code;
        EXPECT_FALSE(mainWindowSeen);
    }
}

TEST(StartUp, MainWindowRunsUntilTheUserQuits) {
    SimWaveBackend sim;
    QStringList shown;
    SetMessageBoxHook([&](const QString&, const QString& text, unsigned) {
        shown << text;
        return IDYES;
    });
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dlg = qobject_cast<CProcessorDlg*>(w); dlg && dlg->isVisible()) {
                EXPECT_EQ(dlg->windowModality(), Qt::ApplicationModal);
                dlg->reject();
            }
    });
    EXPECT_EQ(ProcessorAppRun(), 0);
    SetMessageBoxHook({});
    EXPECT_EQ(shown, QStringList({"Do you really want to quit ?"}));
    EXPECT_EQ(sim.calls(), QStringList({"open capture", "open playback", "close capture", "close playback"}));
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
