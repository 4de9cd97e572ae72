#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "toolkit/toolkit.h"

namespace {

class CountingDialog : public ZqDialog {
public:
    using ZqDialog::ZqDialog;
    void OnCancel() override { ++cancels; }
    int cancels = 0;
};

// Answers the next real message box by clicking the button with the given role.
void answerNextBox(QMessageBox::StandardButton button, QString* seenTitle = nullptr, QString* seenText = nullptr) {
    QTimer::singleShot(0, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return answerNextBox(button, seenTitle, seenText);
        if (seenTitle) *seenTitle = box->windowTitle();
        if (seenText) *seenText = box->text();
        box->button(button)->click();
    });
}

}  // namespace

TEST(Toolkit, ProgramNameIsTheExecutableWithoutExtension) {
    EXPECT_EQ(ProgramName(), "toolkit_tests");
}

TEST(Toolkit, MessageBoxHookSeesTitleTextAndTypeAndGivesTheAnswer) {
    QString title, text;
    unsigned type = 0;
    SetMessageBoxHook([&](const QString& t, const QString& x, unsigned ty) {
        title = t, text = x, type = ty;
        return IDNO;
    });
    EXPECT_EQ(ZqMessageBox("Do you really want to quit ?", MB_YESNO | MB_ICONQUESTION), IDNO);
    SetMessageBoxHook({});
    EXPECT_EQ(title, "toolkit_tests");
    EXPECT_EQ(text, "Do you really want to quit ?");
    EXPECT_EQ(type, MB_YESNO | MB_ICONQUESTION);
}

TEST(Toolkit, RealMessageBoxKeepsPostedEventsFlowing) {
    bool delivered = false;
    QObject receiver;
    const auto deliver = [&] { delivered = true; };
    QMetaObject::invokeMethod(&receiver, deliver, Qt::QueuedConnection);
    QString title, text;
    answerNextBox(QMessageBox::Ok, &title, &text);
    EXPECT_EQ(ZqMessageBox("Unable to start recording."), IDOK);
    EXPECT_TRUE(delivered);
    EXPECT_EQ(title, "toolkit_tests");
    EXPECT_EQ(text, "Unable to start recording.");
    answerNextBox(QMessageBox::Yes);
    EXPECT_EQ(ZqMessageBox("Quit ?", MB_YESNO | MB_ICONQUESTION), IDYES);
}

TEST(Toolkit, CloseRequestIsQueuedAndReachesCancelShownOrHidden) {
    CountingDialog dlg;
    PostCloseRequest(&dlg);
    EXPECT_EQ(dlg.cancels, 0);  // never handled inside the call that posts it
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(dlg.cancels, 1);  // hidden
    dlg.show();
    PostCloseRequest(&dlg);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(dlg.cancels, 2);
    QCloseEvent close;
    QCoreApplication::sendEvent(&dlg, &close);  // the close box takes the same path
    EXPECT_EQ(dlg.cancels, 3);
    EXPECT_FALSE(close.isAccepted());
    EXPECT_TRUE(dlg.isVisible());
}

TEST(Toolkit, CloseRequestForADestroyedWindowIsDropped) {
    auto* dlg = new CountingDialog;
    PostCloseRequest(dlg);
    PostCloseRequest(dlg);
    dlg->DestroyWindow();
    QCoreApplication::sendPostedEvents();  // must not touch the deleted object

    QPointer<CountingDialog> later = new CountingDialog;
    later->DestroyWindowLater();
    PostCloseRequest(later);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(later.isNull());
}

TEST(Toolkit, ModalLoopSurvivesHidingAndShowingAgain) {
    ZqDialog dlg;
    QTimer::singleShot(0, [&] { dlg.hide(); });
    QTimer::singleShot(20, [&] {
        EXPECT_FALSE(dlg.isVisible());
        dlg.show();
    });
    QTimer::singleShot(40, [&] { dlg.reject(); });
    EXPECT_EQ(RunModalLoop(&dlg), QDialog::Rejected);
    EXPECT_EQ(dlg.windowModality(), Qt::ApplicationModal);
}

TEST(Toolkit, CentredWindowStaysInsideTheWorkArea) {
    const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget owner;
    owner.resize(200, 100);
    owner.move(work.right() - 50, work.bottom() - 40);  // mostly off the screen
    owner.show();
    QWidget w(&owner, Qt::Window);
    w.resize(300, 200);
    CenterOverOwner(&w);
    EXPECT_TRUE(work.contains(FrameRect(&w, {&owner})));
    // Larger than the work area: its top left corner, with the title bar, stays on the screen.
    w.resize(work.width() + 100, work.height() + 100);
    CenterOverOwner(&w);
    EXPECT_EQ(FrameRect(&w, {&owner}).topLeft(), work.topLeft());
}

TEST(Toolkit, DialogUnitsFollowTheFont) {
    QFont font("DejaVu Sans", 9);
    DialogUnits small(font);
    font.setPointSize(18);
    DialogUnits large(font);
    EXPECT_GT(large.x(100), small.x(100) * 3 / 2);
    EXPECT_GT(large.y(100), small.y(100) * 3 / 2);
    // Adjacent rectangles stay adjacent after rounding.
    QRect a = small.rect(3, 3, 258, 81), b = small.rect(261, 3, 3, 81);
    EXPECT_EQ(a.right() + 1, b.left());
    EXPECT_EQ(small.size(264, 169), QSize(small.x(264), small.y(169)));
}

TEST(Toolkit, FilterPairsBecomeQtFilters) {
    EXPECT_EQ(QtFileFilter("WAVE Files (*.wav)|*.wav||"), "WAVE Files (*.wav)");
    EXPECT_EQ(QtFileFilter("FIR (*.fir)|*.fir|All|*.*||"), "FIR (*.fir);;All (*.*)");
    EXPECT_EQ(QtFileFilter(""), "");
}

TEST(Toolkit, FileDialogHookAnswersTheRequest) {
    FileDialogRequest seen;
    SetFileDialogHook([&](const FileDialogRequest& r) {
        seen = r;
        return FileDialogResult{true, "/tmp/a.wav", "a.wav"};
    });
    FileDialogRequest request;
    request.filter = "WAVE Files (*.wav)|*.wav||";
    request.defaultExtension = "wav";
    request.save = true;
    FileDialogResult result = ZqFileDialog(request);
    SetFileDialogHook({});
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(result.fileName, "a.wav");
    EXPECT_EQ(seen.defaultExtension, "wav");
    EXPECT_TRUE(seen.save);
}

TEST(Toolkit, Cp1252TextDecodesTheHighRangeAndStopsAtZero) {
    const char bytes[] = "caf\xE9 \x80 \x93q\x94 \x81";
    EXPECT_EQ(DecodeCp1252(bytes, sizeof bytes - 1), QString::fromUtf8("café € “q” \uFFFD"));
    const char field[4] = {'a', 'b', '\0', 'z'};
    EXPECT_EQ(DecodeCp1252(field, 4), "ab");
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(DecodeCp1252(unterminated, 3), "xyz");  // never reads past the given length
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
