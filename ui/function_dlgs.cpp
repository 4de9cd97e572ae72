#include "ui/function_dlgs.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <algorithm>
#include <cstring>
#include <string>

#include "dsp/filter_bank.h"
#include "dsp/fir_analysis.h"
#include "dsp/fir_file.h"
#include "engine/wave_format.h"
#include "runners/runners.h"
#include "ui/filter_response_dlg.h"
#include "ui/function_layouts.h"
#include "ui/output_choice.h"
#include "ui/spectrum_display_dlg.h"

CFunctionDlg::CFunctionDlg(QWidget* owner, const Layout& layout, const RunnerOps& runner)
    : ZqDialog(owner), m_runner(runner) {
    // A caption with the close box (Stop Function) only: no minimise, no maximise, fixed size.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(false);
    setWindowTitle(QString::fromLatin1(layout.caption));
    const DialogUnits units;
    setFixedSize(units.size(layout.width, layout.height));

    QWidget* previousInTabOrder = nullptr;
    const ControlSpec* previous = nullptr;
    for (int n = 0; n < layout.count; ++n) {
        const ControlSpec& control = layout.controls[n];
        const QString text = QString::fromLatin1(control.text);
        QWidget* widget = nullptr;
        switch (control.kind) {
        case Static: widget = new QLabel(text, this); break;
        case CheckBox: widget = new QCheckBox(text, this); break;
        case ReadOnlyEdit: {
            auto* edit = new QLineEdit(text, this);
            edit->setReadOnly(true);
            edit->setFocusPolicy(Qt::ClickFocus);  // selectable, but not reached with Tab
            widget = edit;
            break;
        }
        case DefaultButton: {
            auto* button = new QPushButton(text, this);
            button->setDefault(true);
            button->setAutoDefault(true);
            widget = button;
            break;
        }
        }
        PlaceControl(widget, control.id >= 0 ? control.id : 0, units.rect(control.x, control.y, control.w, control.h));
        // A control keeps its gap to the one left of it on the same row, whatever width that one needed.
        if (previous && previous->y == control.y && previous->x < control.x)
            KeepGap(m_controls.last(), widget, units.x(control.x) - units.x(previous->x + previous->w));
        previous = &control;
        if (control.kind == CheckBox || control.kind == DefaultButton) {
            if (previousInTabOrder) setTabOrder(previousInTabOrder, widget);
            previousInTabOrder = widget;
        }
        m_controls.append(widget);
    }
    m_btnStop = Control<QPushButton>(IDCANCEL);
    if (m_btnStop) connect(m_btnStop, &QPushButton::clicked, this, &CFunctionDlg::reject);

    // Qt has no window menu of its own: as the main window's About box, the response window is reached
    // through the window's context menu, and by a key of its own that no window uses.
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    m_actResponse = new QAction(QStringLiteral("Filter &Response"), this);
    m_actResponse->setCheckable(true);
    m_actResponse->setShortcut(QKeySequence(Qt::ALT | Qt::Key_R));
    m_actResponse->setShortcutContext(Qt::WindowShortcut);
    addAction(separator);
    addAction(m_actResponse);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_actResponse, &QAction::triggered, this, &CFunctionDlg::OnFilterResponse);
}

CFunctionDlg::~CFunctionDlg() = default;

// The runner's message box can run the stop and the deferred delete of this window in its nested loop,
// so nothing of this object is touched once the box has returned.
void CFunctionDlg::ShowRunnerMessage(const char* text) {
    ZqMessageBox(QString::fromLatin1(text), MB_OK | MB_ICONEXCLAMATION);
}

void CFunctionDlg::RequestClose() {
    PostCloseRequest(this);
}

QWidget* CFunctionDlg::Control(int id) const {
    for (QWidget* widget : m_controls) {
        if (widget->property("ctrlId").toInt() == id && widget->property("ctrlId").isValid()) return widget;
    }
    return nullptr;
}

QCheckBox* CFunctionDlg::AddSpectrumCheck(int id, CSpectrumDisplayDlg** link, int* flag, const char* caption) {
    auto* button = Control<QCheckBox>(id);
    m_checks.append(SpectrumCheck{button, link, flag, caption});
    return button;
}

void CFunctionDlg::InitDialog() {
    // The file dialog comes first, while this window is still hidden; a cancel ends the window quietly.
    if (!ChooseInput()) {
        PostCloseRequest(this);
        return;
    }
    // Topmost first: changing a flag moves the window back to its position taken as a frame position.
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    CenterOverOwner(this);
    for (const SpectrumCheck& check : m_checks) check.button->setChecked(*check.flag != 0);
    if (!ReadCoefficients()) {
        PostCloseRequest(this);
        return;
    }
    int outputToFile = 0;
    QString outputPath;
    if (const auto* choice = dynamic_cast<const COutputChoice*>(parentWidget())) {
        outputPath = choice->GetOutputPath();
        outputToFile = choice->GetOutputToFile();
    }
    // The start reports its own failures and posts the close request itself.
    m_runner.start(this, outputToFile, outputPath);
    if (!m_checks.isEmpty()) m_checks.first().button->setFocus();
}

void CFunctionDlg::OnSpectrumCheck(int index) {
    if (index < 0 || index >= m_checks.size()) return;
    const SpectrumCheck& check = m_checks[index];
    const bool checked = check.button->isChecked();
    if (checked && !*check.link) {
        auto* spectrum =
            new CSpectrumDisplayDlg(QString::fromLatin1(check.caption), WAVE_SAMPLE_RATE, WAVE_BLOCK_SAMPLES, this);
        SetSpectrumLink(check, spectrum);
        AddWindowKeys(spectrum);
        spectrum->show();
        // This window stays on top; without a window manager nobody else keeps it there.
        raise();
    } else if (!checked && *check.link) {
        CSpectrumDisplayDlg* spectrum = *check.link;
        SetSpectrumLink(check, nullptr);
        spectrum->DestroyWindow();
    }
}

// Where the window system gives a new window the keyboard focus all the same (a Wayland compositor does),
// the spectrum boxes' keys and the response window's work from there too. Queued: the click may destroy
// the very window whose shortcut fired.
void CFunctionDlg::AddWindowKeys(QWidget* window) {
    for (const SpectrumCheck& box : m_checks) {
        auto* shortcut = new QShortcut(QKeySequence::mnemonic(box.button->text()), window);
        connect(shortcut, &QShortcut::activated, box.button, &QCheckBox::click, Qt::QueuedConnection);
    }
    auto* shortcut = new QShortcut(m_actResponse->shortcut(), window);
    connect(shortcut, &QShortcut::activated, m_actResponse, &QAction::trigger, Qt::QueuedConnection);
}

CResponseSink* CFunctionDlg::ResponseLink() const {
    return m_pResponse;
}

void CFunctionDlg::OnFilterResponse() {
    const bool checked = m_actResponse->isChecked();
    if (checked && !m_pResponse) {
        // The coefficients stay as they are while the function runs: their response is computed once.
        if (m_designedDb.empty()) {
            const double* coefficients = nullptr;
            int count = 0;
            RunningCoefficients(&coefficients, &count);
            count = std::clamp(count, 0, FIR_MAX_COEFFICIENTS);
            m_designedDb.resize(WAVE_BLOCK_SAMPLES / 2 + 1);
            FirMagnitudeResponse(coefficients, static_cast<uint32_t>(count), WAVE_SAMPLE_RATE,
                                 static_cast<int>(m_designedDb.size()), m_designedDb.data());
        }
        m_pResponse = new CFilterResponseDlg(m_designedDb, WAVE_SAMPLE_RATE, WAVE_BLOCK_SAMPLES, this);
        // Its close box and Escape run inside its own handler: it goes once that has returned.
        connect(m_pResponse, &CFilterResponseDlg::closeRequested, this, [this] {
            CFilterResponseDlg* response = m_pResponse;
            m_pResponse = nullptr;
            m_actResponse->setChecked(false);
            if (response) response->DestroyWindowLater();
        });
        AddWindowKeys(m_pResponse);
        m_pResponse->show();
        raise();
    } else if (!checked && m_pResponse) {
        CloseResponseWindow();
    }
}

void CFunctionDlg::CloseResponseWindow() {
    m_actResponse->setChecked(false);
    if (CFilterResponseDlg* response = m_pResponse) {
        m_pResponse = nullptr;
        response->DestroyWindow();
    }
}

// The link is what the runner reads; the flag only mirrors it.
void CFunctionDlg::SetSpectrumLink(const SpectrumCheck& check, CSpectrumDisplayDlg* window) {
    *check.link = window;
    *check.flag = window ? 1 : 0;
}

void CFunctionDlg::CloseSpectrumWindows() {
    for (const SpectrumCheck& check : m_checks) {
        if (CSpectrumDisplayDlg* spectrum = *check.link) {
            SetSpectrumLink(check, nullptr);
            spectrum->DestroyWindow();
        }
    }
    CloseResponseWindow();
}

void CFunctionDlg::OnCancel() {
    if (isBeingDestroyed() || m_bStopping) return;
    m_bStopping = true;
    // The runner stops first, so no block is processed towards a spectrum window that is gone.
    m_runner.stop();
    // Hidden before its owner shows: a manager that sees a window appear beside the focused one may move
    // it out of that one's way, and the main window must come back exactly where it was.
    hide();
    if (QWidget* owner = parentWidget()) owner->show();
    CloseSpectrumWindows();
    DestroyWindowLater();
}

void CFunctionDlg::Teardown() {
    m_bStopping = true;
    if (*m_runner.window == this) m_runner.stop();
    CloseSpectrumWindows();
}

// ---------------------------------------------------------------------------------------------------------

CDirectMappingDlg::CDirectMappingDlg(QWidget* owner)
    : CFunctionDlg(owner, kDirectMappingLayout,
                   RunnerOps{DirectMappingStart, DirectMappingStop, &DirectMappingWindow}) {
    m_btnSpectrum = AddSpectrumCheck(1022, &m_pSpectrum, &m_bSpectrum, "ZORIQ1: Spectrum Display");
    connect(m_btnSpectrum, &QCheckBox::clicked, this, &CDirectMappingDlg::OnSpectrumDisplay);
    InitDialog();
}

CDirectMappingDlg::~CDirectMappingDlg() {
    Teardown();
}

CSpectrumSink* CDirectMappingDlg::OutputSpectrumLink() const {
    return m_pSpectrum;
}

void CDirectMappingDlg::OnSpectrumDisplay() {
    OnSpectrumCheck(0);
}

void CDirectMappingDlg::RunningCoefficients(const double** coefficients, int* count) const {
    static const double kOne = 1.0;
    *coefficients = &kOne;
    *count = 1;
}

CFirFunctionDlg::CFirFunctionDlg(QWidget* owner, const Layout& layout, const RunnerOps& runner)
    : CFunctionDlg(owner, layout, runner) {
    m_stcCount = Control<QLabel>(1013);
    m_edtDescription = Control<QLineEdit>(1011);
    // The input window before the output window, here and when they are closed.
    m_btnSpectrumIn = AddSpectrumCheck(1028, &m_pSpectrumIn, &m_bSpectrumIn, "ZORIQ1: Spectrum Display Input");
    m_btnSpectrumOut = AddSpectrumCheck(1029, &m_pSpectrumOut, &m_bSpectrumOut, "ZORIQ1: Spectrum Display Output");
    connect(m_btnSpectrumIn, &QCheckBox::clicked, this, &CFirFunctionDlg::OnSpectrumDisplayInput);
    connect(m_btnSpectrumOut, &QCheckBox::clicked, this, &CFirFunctionDlg::OnSpectrumDisplayOutput);
}

CSpectrumSink* CFirFunctionDlg::InputSpectrumLink() const {
    return m_pSpectrumIn;
}
CSpectrumSink* CFirFunctionDlg::OutputSpectrumLink() const {
    return m_pSpectrumOut;
}

void CFirFunctionDlg::OnSpectrumDisplayInput() {
    OnSpectrumCheck(0);
}
void CFirFunctionDlg::OnSpectrumDisplayOutput() {
    OnSpectrumCheck(1);
}

void CFirFunctionDlg::ShowCoefficients(int count, const QString& description) {
    m_stcCount->setText(QString::number(count));
    m_edtDescription->setText(description);
}

CFirFilterDlg::CFirFilterDlg(int filterIndex, QWidget* owner)
    : CFirFunctionDlg(owner, kFirFilterLayout, RunnerOps{FirBankStart, FirBankStop, &FirBankWindow}),
      m_nFilterIndex(filterIndex) {
    InitDialog();
}

CFirFilterDlg::~CFirFilterDlg() {
    Teardown();
}

void CFirFilterDlg::RunningCoefficients(const double** coefficients, int* count) const {
    *coefficients = BankCoefficients;
    *count = BankCoefficientCount;
}

bool CFirFilterDlg::ReadCoefficients() {
    char name[FILTER_NAME_SIZE] = {};
    int count = 0;
    if (FilterBankReadFilter(m_nFilterIndex, name, &count) != FILTER_BANK_OK) {
        ZqMessageBox(QStringLiteral("Error reading filter coefficients."));
        return false;
    }
    const std::string text = FilterNameText(name);
    ShowCoefficients(count, DecodeCp1252(text.data(), text.size()));
    return true;
}

CUserFirFilterDlg::CUserFirFilterDlg(QWidget* owner)
    : CFirFunctionDlg(owner, kUserFirFilterLayout, RunnerOps{UserFirStart, UserFirStop, &UserFirWindow}) {
    m_edtFileName = Control<QLineEdit>(1014);
    InitDialog();
}

CUserFirFilterDlg::~CUserFirFilterDlg() {
    Teardown();
}

void CUserFirFilterDlg::RunningCoefficients(const double** coefficients, int* count) const {
    *coefficients = UserCoefficients;
    *count = UserCoefficientCount;
}

bool CUserFirFilterDlg::ChooseInput() {
    FileDialogRequest request;
    request.title = QStringLiteral("Select the FIR filter coefficient file");
    request.filter = QStringLiteral("FIR Filter Files (*.fir)|*.fir||");
    request.defaultExtension = QStringLiteral("fir");
    request.mustExist = true;
    const FileDialogResult result = ZqFileDialog(request);
    if (!result.accepted) return false;
    m_strFilePath = result.path;
    return true;
}

bool CUserFirFilterDlg::ReadCoefficients() {
    char description[FIR_DESCRIPTION_SIZE] = {};
    int count = 0;
    const QByteArray path = QFile::encodeName(m_strFilePath);
    if (m_strFilePath.isEmpty() || FirFileRead(path.constData(), description, &count) != FIR_FILE_OK) {
        ZqMessageBox(QStringLiteral("Error reading filter coefficient file."));
        return false;
    }
    m_edtFileName->setText(m_strFilePath);
    ShowCoefficients(count, DecodeCp1252(description, strnlen(description, FIR_DESCRIPTION_SIZE)));
    return true;
}
