#include "ui/function_dlgs.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <cstring>
#include <string>

#include "dsp/filter_bank.h"
#include "dsp/fir_file.h"
#include "runners/runners.h"
#include "ui/output_choice.h"
#include "ui/spectrum_display_dlg.h"

namespace {
constexpr int kSampleRate = 11025;
constexpr int kFftSize = 2048;
constexpr int IDCANCEL = 2;
}  // namespace

CFunctionDlg::CFunctionDlg(QWidget* owner, const char* caption, int width, int height, const RunnerOps& runner)
    : ZqDialog(owner), m_runner(runner)
{
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(false);
    setWindowTitle(QString::fromLatin1(caption));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    setFixedSize(DialogUnits(font()).size(width, height));
}

CFunctionDlg::~CFunctionDlg() = default;

QList<QWidget*> CFunctionDlg::CreateControls(const ControlSpec* specs, int count)
{
    const DialogUnits units(font());
    QWidget* previousInTabOrder = nullptr;
    for (int n = 0; n < count; ++n) {
        const ControlSpec& control = specs[n];
        const QString text = QString::fromLatin1(control.text);
        QWidget* widget = nullptr;
        switch (control.kind) {
        case Static:
            widget = new QLabel(text, this);
            break;
        case CheckBox:
            widget = new QCheckBox(text, this);
            break;
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
        if (control.kind == CheckBox || control.kind == DefaultButton) {
            if (previousInTabOrder)
                setTabOrder(previousInTabOrder, widget);
            previousInTabOrder = widget;
        }
        m_controls.append(widget);
    }
    m_btnStop = qobject_cast<QPushButton*>(Control(IDCANCEL));
    if (m_btnStop)
        connect(m_btnStop, &QPushButton::clicked, this, &CFunctionDlg::reject);
    return m_controls;
}

QWidget* CFunctionDlg::Control(int id) const
{
    for (QWidget* widget : m_controls) {
        if (widget->property("ctrlId").toInt() == id && widget->property("ctrlId").isValid())
            return widget;
    }
    return nullptr;
}

void CFunctionDlg::AddSpectrumCheck(QCheckBox* button, CSpectrumDisplayDlg** link, int* flag, const char* caption)
{
    m_checks.append(SpectrumCheck{button, link, flag, caption});
}

void CFunctionDlg::CentreOverOwner()
{
    QWidget* owner = parentWidget();
    QRect area;
    if (owner && owner->isVisible())
        area = owner->frameGeometry();
    else if (QScreen* s = screen())
        area = s->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

void CFunctionDlg::InitDialog()
{
    // The file dialog comes first, while this window is still hidden; a cancel ends the window quietly.
    if (!ChooseInput()) {
        PostCloseRequest(this);
        return;
    }
    CentreOverOwner();
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    for (const SpectrumCheck& check : m_checks)
        check.button->setChecked(*check.flag != 0);
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
    if (!m_checks.isEmpty())
        m_checks.first().button->setFocus();
}

void CFunctionDlg::OnSpectrumCheck(int index)
{
    if (index < 0 || index >= m_checks.size())
        return;
    const SpectrumCheck& check = m_checks[index];
    const int state = check.button->isChecked() ? 1 : 0;
    if (state == 1 && *check.flag == 0) {
        *check.link = new CSpectrumDisplayDlg(QString::fromLatin1(check.caption), kSampleRate, kFftSize, this);
        (*check.link)->show();
    } else if (state == 0 && *check.flag == 1) {
        CSpectrumDisplayDlg* spectrum = *check.link;
        *check.link = nullptr;
        if (spectrum)
            spectrum->DestroyWindow();
    }
    *check.flag = state;
}

void CFunctionDlg::CloseSpectrumWindows()
{
    for (const SpectrumCheck& check : m_checks) {
        if (*check.flag == 1 || *check.link) {
            CSpectrumDisplayDlg* spectrum = *check.link;
            *check.link = nullptr;
            *check.flag = 0;
            if (spectrum)
                spectrum->DestroyWindow();
        }
    }
}

void CFunctionDlg::OnCancel()
{
    if (isBeingDestroyed())
        return;
    // The runner stops first, so no block is processed towards a spectrum window that is gone.
    m_runner.stop();
    if (QWidget* owner = parentWidget())
        owner->show();
    CloseSpectrumWindows();
    DestroyWindowLater();
}

void CFunctionDlg::Teardown()
{
    if (*m_runner.window == this)
        m_runner.stop();
    CloseSpectrumWindows();
}

// ---------------------------------------------------------------------------------------------------------

namespace {
const CFunctionDlg::ControlSpec kDirectMappingLayout[] = {
    {-1, CFunctionDlg::Static, "This function maps the input to the output without any conversion.", 3, 6, 216, 8},
    {1022, CFunctionDlg::CheckBox, "Spectrum &Display", 3, 18, 78, 12},
    {IDCANCEL, CFunctionDlg::DefaultButton, "Stop &Function", 83, 30, 57, 14},
};

const CFunctionDlg::ControlSpec kFirFilterLayout[] = {
    {-1, CFunctionDlg::Static, "Number of filter coefficients:", 3, 3, 90, 8},
    {1013, CFunctionDlg::Static, "0", 96, 3, 27, 8},
    {-1, CFunctionDlg::Static, "Filter description:", 3, 15, 66, 8},
    {1011, CFunctionDlg::ReadOnlyEdit, "", 3, 24, 240, 12},
    {1028, CFunctionDlg::CheckBox, "Spectrum Display &Input", 3, 42, 90, 10},
    {1029, CFunctionDlg::CheckBox, "Spectrum Display &Output", 141, 42, 99, 10},
    {IDCANCEL, CFunctionDlg::DefaultButton, "Stop &Function", 95, 57, 57, 14},
};

const CFunctionDlg::ControlSpec kUserFirFilterLayout[] = {
    {-1, CFunctionDlg::Static, "Filter coefficient file name:", 3, 3, 93, 8},
    {1014, CFunctionDlg::ReadOnlyEdit, "", 3, 12, 237, 12},
    {-1, CFunctionDlg::Static, "Number of filter coefficients read from file:", 3, 27, 138, 8},
    {1013, CFunctionDlg::Static, "0", 144, 27, 27, 8},
    {-1, CFunctionDlg::Static, "Filter description:", 3, 39, 66, 8},
    {1011, CFunctionDlg::ReadOnlyEdit, "", 3, 48, 237, 12},
    {1028, CFunctionDlg::CheckBox, "Spectrum Display &Input", 3, 66, 90, 10},
    {1029, CFunctionDlg::CheckBox, "Spectrum Display &Output", 141, 66, 99, 10},
    {IDCANCEL, CFunctionDlg::DefaultButton, "Stop &Function", 93, 81, 57, 14},
};

template <std::size_t N>
constexpr int CountOf(const CFunctionDlg::ControlSpec (&)[N]) { return static_cast<int>(N); }

const char* const kCaptionIn = "ZORIQ1: Spectrum Display Input";
const char* const kCaptionOut = "ZORIQ1: Spectrum Display Output";
}  // namespace

CDirectMappingDlg::CDirectMappingDlg(QWidget* owner)
    : CFunctionDlg(owner, "ZORIQ1: Direct mapping", 223, 47,
                   RunnerOps{DirectMappingStart, DirectMappingStop, &DirectMappingWindow})
{
    CreateControls(kDirectMappingLayout, CountOf(kDirectMappingLayout));
    m_btnSpectrum = qobject_cast<QCheckBox*>(Control(1022));
    AddSpectrumCheck(m_btnSpectrum, &m_pSpectrum, &m_bSpectrum, "ZORIQ1: Spectrum Display");
    connect(m_btnSpectrum, &QCheckBox::clicked, this, &CDirectMappingDlg::OnSpectrumDisplay);
    InitDialog();
}

CDirectMappingDlg::~CDirectMappingDlg() { Teardown(); }

void CDirectMappingDlg::OnSpectrumDisplay() { OnSpectrumCheck(0); }

CFirFilterDlg::CFirFilterDlg(int filterIndex, QWidget* owner)
    : CFunctionDlg(owner, "ZORIQ1: FIR filter", 247, 74, RunnerOps{FirBankStart, FirBankStop, &FirBankWindow}),
      m_nFilterIndex(filterIndex)
{
    CreateControls(kFirFilterLayout, CountOf(kFirFilterLayout));
    m_stcCount = qobject_cast<QLabel*>(Control(1013));
    m_edtDescription = qobject_cast<QLineEdit*>(Control(1011));
    m_btnSpectrumOut = qobject_cast<QCheckBox*>(Control(1029));
    m_btnSpectrumIn = qobject_cast<QCheckBox*>(Control(1028));
    AddSpectrumCheck(m_btnSpectrumIn, &m_pSpectrumIn, &m_bSpectrumIn, kCaptionIn);
    AddSpectrumCheck(m_btnSpectrumOut, &m_pSpectrumOut, &m_bSpectrumOut, kCaptionOut);
    connect(m_btnSpectrumIn, &QCheckBox::clicked, this, &CFirFilterDlg::OnSpectrumDisplayInput);
    connect(m_btnSpectrumOut, &QCheckBox::clicked, this, &CFirFilterDlg::OnSpectrumDisplayOutput);
    InitDialog();
}

CFirFilterDlg::~CFirFilterDlg() { Teardown(); }

void CFirFilterDlg::OnSpectrumDisplayInput() { OnSpectrumCheck(0); }
void CFirFilterDlg::OnSpectrumDisplayOutput() { OnSpectrumCheck(1); }

bool CFirFilterDlg::ReadCoefficients()
{
    char name[FILTER_NAME_SIZE] = {};
    int count = 0;
    if (FilterBankReadFilter(m_nFilterIndex, name, &count) != FILTER_BANK_OK) {
        ZqMessageBox(QStringLiteral("Error reading filter coefficients."));
        return false;
    }
    const std::string text = FilterNameText(name);
    m_stcCount->setText(QString::number(count));
    m_edtDescription->setText(DecodeCp1252(text.data(), text.size()));
    return true;
}

CUserFirFilterDlg::CUserFirFilterDlg(QWidget* owner)
    : CFunctionDlg(owner, "ZORIQ1: User defined FIR filter", 244, 98,
                   RunnerOps{UserFirStart, UserFirStop, &UserFirWindow})
{
    CreateControls(kUserFirFilterLayout, CountOf(kUserFirFilterLayout));
    m_btnSpectrumOut = qobject_cast<QCheckBox*>(Control(1029));
    m_btnSpectrumIn = qobject_cast<QCheckBox*>(Control(1028));
    m_edtFileName = qobject_cast<QLineEdit*>(Control(1014));
    m_stcCount = qobject_cast<QLabel*>(Control(1013));
    m_edtDescription = qobject_cast<QLineEdit*>(Control(1011));
    AddSpectrumCheck(m_btnSpectrumIn, &m_pSpectrumIn, &m_bSpectrumIn, kCaptionIn);
    AddSpectrumCheck(m_btnSpectrumOut, &m_pSpectrumOut, &m_bSpectrumOut, kCaptionOut);
    connect(m_btnSpectrumIn, &QCheckBox::clicked, this, &CUserFirFilterDlg::OnSpectrumDisplayInput);
    connect(m_btnSpectrumOut, &QCheckBox::clicked, this, &CUserFirFilterDlg::OnSpectrumDisplayOutput);
    InitDialog();
}

CUserFirFilterDlg::~CUserFirFilterDlg() { Teardown(); }

void CUserFirFilterDlg::OnSpectrumDisplayInput() { OnSpectrumCheck(0); }
void CUserFirFilterDlg::OnSpectrumDisplayOutput() { OnSpectrumCheck(1); }

bool CUserFirFilterDlg::ChooseInput()
{
    FileDialogRequest request;
    request.title = QStringLiteral("Select the FIR filter coefficient file");
    request.filter = QStringLiteral("FIR Filter Files (*.fir)|*.fir||");
    request.defaultExtension = QStringLiteral("fir");
    request.mustExist = true;
    const FileDialogResult result = ZqFileDialog(request);
    if (!result.accepted)
        return false;
    m_strFilePath = result.path;
    return true;
}

bool CUserFirFilterDlg::ReadCoefficients()
{
    char description[FIR_DESCRIPTION_SIZE] = {};
    int count = 0;
    const QByteArray path = QFile::encodeName(m_strFilePath);
    if (m_strFilePath.isEmpty() || FirFileRead(path.constData(), description, &count) != FIR_FILE_OK) {
        ZqMessageBox(QStringLiteral("Error reading filter coefficient file."));
        return false;
    }
    m_edtFileName->setText(m_strFilePath);
    m_stcCount->setText(QString::number(count));
    m_edtDescription->setText(DecodeCp1252(description, strnlen(description, FIR_DESCRIPTION_SIZE)));
    return true;
}
