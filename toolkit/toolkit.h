#pragma once
// UI services every window relies on. Message boxes and file dialogs go through hooks so that
// tests can answer them without a human.
#include <QDialog>
#include <QFont>
#include <QMargins>
#include <QRect>
#include <QString>
#include <cstddef>
#include <functional>
#include <initializer_list>

// The program's name: the executable's file name without its extension. Titles every message box.
QString ProgramName();

// Message box types and answers (the platform's values).
enum : unsigned {
    MB_OK = 0x0,
    MB_YESNO = 0x4,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
};
enum : int { IDOK = 1, IDYES = 6, IDNO = 7 };

// Modal message box titled with ProgramName(); "\n" in text breaks the line. Returns the button pressed.
// Window messages (posted events, device notifications) keep being dispatched while it is open.
int ZqMessageBox(const QString& text, unsigned type = MB_OK | MB_ICONEXCLAMATION, QWidget* parent = nullptr);
using MessageBoxHook = std::function<int(const QString& title, const QString& text, unsigned type)>;
void SetMessageBoxHook(MessageBoxHook hook);  // empty: the real box

struct FileDialogRequest {
    QWidget* parent = nullptr;
    QString title;  // empty: the toolkit's default
    QString filter;  // "Text (*.ext)|*.ext||" pairs
    QString defaultExtension;  // added to a typed name without one
    QString initialName;
    bool mustExist = false;  // open dialog: only existing files
    bool save = false;  // save dialog: asks before replacing an existing file
};
struct FileDialogResult {
    bool accepted = false;
    QString path;  // full path
    QString fileName;  // file name part
};
FileDialogResult ZqFileDialog(const FileDialogRequest& request);
using FileDialogHook = std::function<FileDialogResult(const FileDialogRequest&)>;
void SetFileDialogHook(FileDialogHook hook);  // empty: the real dialog

// Queues a close request to a dialog: never handled inside this call; it reaches the dialog's
// reject() (its cancel handler) whether the dialog is shown or hidden. Dropped if the dialog is gone.
void PostCloseRequest(QDialog* dialog);

// Runs dlg application-modal in a loop of its own until it finishes; unlike QDialog::exec() the loop
// survives the dialog hiding and showing again. Returns the dialog's result.
int RunModalLoop(QDialog* dlg);

// The one font of every window: the desktop's own. No window sets a font of its own, so dialog units
// mean the same size in every window.
QFont DialogFont();

// Layouts are given in dialog units: horizontal unit = average character width / 4,
// vertical unit = character height / 8, of the dialog font.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font = DialogFont());
    int x(int dluX) const;
    int y(int dluY) const;
    QRect rect(int x, int y, int w, int h) const;
    QSize size(int w, int h) const;

private:
    double m_unitX;
    double m_unitY;
};

// Base of every program window: one cancel path. Esc, the close box and a posted close request all
// reach reject(), which calls OnCancel(). The default OnCancel ends the dialog like QDialog::reject().
class ZqDialog : public QDialog {
    Q_OBJECT
public:
    explicit ZqDialog(QWidget* owner = nullptr);
    void reject() override;
    virtual void OnCancel();
    // Hides the window and deletes the object before returning. Not for use from the window's own handlers.
    void DestroyWindow();
    // The same, deferred to the event loop: for a window that ends itself from its own handler.
    // Close requests still queued for it are ignored.
    void DestroyWindowLater();
    bool isBeingDestroyed() const { return m_bDestroying; }
    // A window shown again comes back exactly where it was when it was hidden.
    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool m_bDestroying = false;
    QRect m_rcHidden;  // the client area when last hidden
};

// Widens a label, check box or button whose text needs more than its width; x, y and height stay.
// A layout in dialog units can be too narrow for the font, and text must never be cut.
void FitTextWidth(QWidget* control);

// Keeps `next`, the control right of `previous` on the same row, `gap` pixels away from it after
// `previous` grew to fit its text: next moves right or, with keepRight (an edit that scrolls), keeps its
// right edge and narrows.
void KeepGap(const QWidget* previous, QWidget* next, int gap, bool keepRight = false);

// Puts a control at rect (widened to its text if needed) and tags it with its numeric id (object name
// "ctrlN", property "ctrlId"), so that code and tests can find controls by the ids of the layout tables.
template <typename W>
W* PlaceControl(W* widget, int id, const QRect& rect) {
    widget->setGeometry(rect);
    FitTextWidth(widget);
    if (id) {
        widget->setObjectName(QString("ctrl%1").arg(id));
        widget->setProperty("ctrlId", id);
    }
    return widget;
}

// Text of 8-bit files (filter names, descriptions) as Windows-1252, the code page they come from.
QString DecodeCp1252(const char* bytes, std::size_t length);

// "Text (*.a)|*.a||" filter pairs as a Qt name filter list ("Text (*.a)").
QString QtFileFilter(const QString& pairs);

// The frame a window manager puts around the top-level window w: known only once the manager has
// framed the shown window. Until then it is taken from the first framed window of `alike`: a manager
// frames one program's windows alike. Zero without a window manager.
QMargins FrameMargins(const QWidget* w, std::initializer_list<const QWidget*> alike = {});

// Moves the top-level window w, keeping its size, so that its frame's corner lands on frameTopLeft; the
// frame is that of FrameMargins(w, alike). It places the client area itself: asking Qt to place the frame
// of a window not framed yet races with the manager framing it, and can land a frame's width off.
void MoveFrameTo(QWidget* w, const QPoint& frameTopLeft, std::initializer_list<const QWidget*> alike = {});

// The frame of the top-level window w on the screen, with the margins of FrameMargins(w, alike).
QRect FrameRect(const QWidget* w, std::initializer_list<const QWidget*> alike = {});

// The part of w's screen that windows may take: the screen without its panels and docks.
QRect WorkArea(const QWidget* w);

// Centres w's frame over its owner's frame (or over the work area when the owner is hidden), keeping w's
// size, then moves it as little as needed to lie inside the work area (its top left corner first, if it
// is larger). Right also while w is still hidden and unframed: the owner's frame stands in for w's.
void CenterOverOwner(QWidget* w);
