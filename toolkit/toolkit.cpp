#include "toolkit/toolkit.h"

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QWindow>

namespace {
MessageBoxHook messageBoxHook;
FileDialogHook fileDialogHook;
}  // namespace

QString ProgramName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void SetMessageBoxHook(MessageBoxHook hook) {
    messageBoxHook = std::move(hook);
}

int ZqMessageBox(const QString& text, unsigned type, QWidget* parent) {
    const QString title = ProgramName();
    if (messageBoxHook) return messageBoxHook(title, text, type);
    const bool yesNo = (type & 0xF) == MB_YESNO;
    QMessageBox box(yesNo ? QMessageBox::Question : QMessageBox::Warning, title, text,
                    yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, parent);
    if ((type & 0xF0) == MB_ICONQUESTION) box.setIcon(QMessageBox::Question);
    if ((type & 0xF0) == MB_ICONEXCLAMATION) box.setIcon(QMessageBox::Warning);
    box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
    // exec() runs a nested loop: posted events, device notifications among them, keep flowing.
    switch (box.exec()) {
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return yesNo ? IDNO : IDOK;
    }
}

void SetFileDialogHook(FileDialogHook hook) {
    fileDialogHook = std::move(hook);
}

QString QtFileFilter(const QString& pairs) {
    // "Text (*.a)|*.a|Other (*.b)|*.b||": descriptions and patterns alternate.
    const QStringList parts = pairs.split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) break;
        QString description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(';', ' ');
        // Qt reads the patterns from the parentheses; keep the description's text and add them when missing.
        if (!description.contains('(')) description += " (" + patterns + ")";
        filters << description;
    }
    return filters.join(";;");
}

FileDialogResult ZqFileDialog(const FileDialogRequest& request) {
    if (fileDialogHook) return fileDialogHook(request);
    QFileDialog dialog(request.parent, request.title);
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilter(QtFileFilter(request.filter));
    dialog.setDefaultSuffix(request.defaultExtension);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.save);
    if (!request.initialName.isEmpty()) dialog.selectFile(request.initialName);
    FileDialogResult result;
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return result;
    result.accepted = true;
    result.path = QFileInfo(dialog.selectedFiles().first()).absoluteFilePath();
    result.fileName = QFileInfo(result.path).fileName();
    return result;
}

void PostCloseRequest(QDialog* dialog) {
    if (dialog) QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
}

int RunModalLoop(QDialog* dlg) {
    QPointer<QDialog> guard(dlg);
    dlg->setWindowModality(Qt::ApplicationModal);
    CenterOverOwner(dlg);
    dlg->show();
    // A loop of our own: QDialog::exec() would end when the dialog hides while a function runs.
    QEventLoop loop;
    QObject::connect(dlg, &QDialog::finished, &loop, &QEventLoop::quit);
    QObject::connect(dlg, &QObject::destroyed, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::DialogExec);
    return guard ? guard->result() : QDialog::Rejected;
}

QFont DialogFont() {
    return QApplication::font();
}

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetricsF metrics(font);
    const QString alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const double averageWidth = metrics.horizontalAdvance(alphabet) / alphabet.size();
    m_unitX = averageWidth / 4.0;
    m_unitY = metrics.height() / 8.0;
}

int DialogUnits::x(int dluX) const {
    return qRound(dluX * m_unitX);
}

int DialogUnits::y(int dluY) const {
    return qRound(dluY * m_unitY);
}

QRect DialogUnits::rect(int x0, int y0, int w, int h) const {
    // Both edges are converted, so adjacent controls stay adjacent after rounding.
    const int left = x(x0), top = y(y0);
    return QRect(left, top, x(x0 + w) - left, y(y0 + h) - top);
}

QSize DialogUnits::size(int w, int h) const {
    return QSize(x(w), y(h));
}

ZqDialog::ZqDialog(QWidget* owner) : QDialog(owner) {}

void ZqDialog::reject() {
    if (m_bDestroying) return;  // a late close request for a window on its way out
    OnCancel();
}

void ZqDialog::OnCancel() {
    QDialog::reject();
}

void ZqDialog::DestroyWindow() {
    m_bDestroying = true;
    hide();
    delete this;
}

void ZqDialog::DestroyWindowLater() {
    m_bDestroying = true;
    hide();
    deleteLater();
}

void ZqDialog::setVisible(bool visible) {
    // A manager puts a withdrawn window's client area where its frame was, without Qt hearing of it, and a
    // dialog shown again is centred anew: either moves it. Its own client area, asked for anew, puts it
    // back; by way of another place, as Qt sends nothing for the place it believes the window has.
    if (!visible && isVisible()) {
        m_rcHidden = geometry();
    } else if (visible && !isVisible() && m_rcHidden.isValid()) {
        setGeometry(m_rcHidden.translated(1, 0));
        setGeometry(m_rcHidden);
    }
    QDialog::setVisible(visible);
}

void ZqDialog::closeEvent(QCloseEvent* event) {
    // The close box and a close request share the cancel path, hidden or shown.
    event->ignore();
    reject();
}

QString DecodeCp1252(const char* bytes, std::size_t length) {
    // 0x80..0x9F differ from Latin-1; 0 marks the five bytes the code page leaves undefined.
    static const char16_t high[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    QString text;
    if (!bytes) return text;
    text.reserve(static_cast<qsizetype>(length));
    for (std::size_t i = 0; i < length && bytes[i] != '\0'; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        char16_t c = byte;
        if (byte >= 0x80 && byte <= 0x9F) c = high[byte - 0x80] ? high[byte - 0x80] : char16_t(0xFFFD);
        text.append(QChar(c));
    }
    return text;
}

void FitTextWidth(QWidget* control) {
    QString text;
    if (auto* label = qobject_cast<QLabel*>(control))
        text = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(control))
        text = button->text();
    if (text.isEmpty()) return;
    const int needed = control->sizeHint().width();
    if (needed > control->width()) control->resize(needed, control->height());
}

void KeepGap(const QWidget* previous, QWidget* next, int gap, bool keepRight) {
    const int shift = previous->geometry().right() + 1 + gap - next->x();
    if (shift <= 0) return;
    QRect rect = next->geometry();
    if (keepRight)
        rect.setLeft(rect.left() + shift);
    else
        rect.translate(shift, 0);
    next->setGeometry(rect);
}

QMargins FrameMargins(const QWidget* w, std::initializer_list<const QWidget*> alike) {
    auto margins = [](const QWidget* window) {
        // Asked of the platform: the widget's own frame geometry lags behind until its events are handled.
        const QWindow* handle = window->windowHandle();
        return handle ? handle->frameMargins() : QMargins();
    };
    QMargins result = margins(w);
    for (const QWidget* other : alike) {
        if (!result.isNull()) break;
        if (other) result = margins(other);
    }
    return result;
}

void MoveFrameTo(QWidget* w, const QPoint& frameTopLeft, std::initializer_list<const QWidget*> alike) {
    const QMargins frame = FrameMargins(w, alike);
    w->setGeometry(QRect(frameTopLeft + QPoint(frame.left(), frame.top()), w->size()));
}

QRect FrameRect(const QWidget* w, std::initializer_list<const QWidget*> alike) {
    return w->geometry().marginsAdded(FrameMargins(w, alike));
}

QRect WorkArea(const QWidget* w) {
    const QScreen* screen = w->screen();
    return screen ? screen->availableGeometry() : QRect();
}

void CenterOverOwner(QWidget* w) {
    QWidget* owner = w->parentWidget();
    const QRect work = WorkArea(w);
    // The owner's frame from the platform too: its frameGeometry() can lag behind a fresh frame.
    const QRect area = owner && owner->isVisible() ? FrameRect(owner) : work;
    if (area.isNull()) return;
    // The frame is centred, not the client area.
    QRect frame = FrameRect(w, {owner});
    frame.moveCenter(area.center());
    if (!work.isNull()) {
        frame.moveLeft(std::max(work.left(), std::min(frame.left(), work.right() + 1 - frame.width())));
        frame.moveTop(std::max(work.top(), std::min(frame.top(), work.bottom() + 1 - frame.height())));
    }
    MoveFrameTo(w, frame.topLeft(), {owner});
}
