#include "ui/processor_dlg.h"

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "dsp/filter_bank.h"
#include "ui/function_dlgs.h"

namespace {

enum {
    IDC_FUNCTIONS = 1004,
    IDC_OUTPUT_TO_FILE = 1006,
    IDC_OUTPUT_PATH = 1007,
    IDC_SELECT_OUTPUT = 1008,
    IDC_START_FUNCTION = 1009,
    IDCANCEL = 2,
};

}  // namespace

QIcon ProgramIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(24, 48, 72));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(2, 2, 60, 60, 10, 10);
    QPainterPath wave;
    wave.moveTo(8, 32);
    for (int x = 8; x <= 56; ++x) wave.lineTo(x, 32 - 18 * std::sin((x - 8) * 0.42) * std::exp(-(x - 8) / 30.0));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(80, 220, 120), 4));
    p.drawPath(wave);
    return QIcon(pixmap);
}

CProcessorDlg::CProcessorDlg(QWidget* parent) : ZqDialog(parent) {
    setWindowTitle("ZORIQ1  Quorvel 1");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    const DialogUnits du;
    setFixedSize(du.size(268, 239));

    PlaceControl(new QGroupBox("Function", this), 0, du.rect(3, 3, 261, 168));
    m_lstFunctions = PlaceControl(new QListWidget(this), IDC_FUNCTIONS, du.rect(9, 12, 250, 135));
    m_lstFunctions->setSelectionMode(QAbstractItemView::SingleSelection);
    m_lstFunctions->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_lstFunctions->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_btnStartFunction =
        PlaceControl(new QPushButton("Start &Function", this), IDC_START_FUNCTION, du.rect(104, 153, 60, 15));
    PlaceControl(new QGroupBox("Output", this), 0, du.rect(3, 174, 261, 45));
    m_chkOutputToFile = PlaceControl(new QCheckBox("&WAVE File :", this), IDC_OUTPUT_TO_FILE, du.rect(9, 185, 48, 12));
    m_edtOutputPath = PlaceControl(new QLineEdit(this), IDC_OUTPUT_PATH, du.rect(60, 185, 200, 12));
    m_edtOutputPath->setReadOnly(true);
    KeepGap(m_chkOutputToFile, m_edtOutputPath, du.x(60) - du.x(57), true);
    m_btnSelectOutput =
        PlaceControl(new QPushButton("Select &Output File", this), IDC_SELECT_OUTPUT, du.rect(103, 201, 61, 15));
    m_btnStopProgram = PlaceControl(new QPushButton("Stop &Program", this), IDCANCEL, du.rect(103, 222, 62, 15));
    // Enter starts the function; the other buttons act only when clicked or by their shortcut.
    m_btnStartFunction->setDefault(true);
    m_btnSelectOutput->setAutoDefault(false);
    m_btnStopProgram->setAutoDefault(false);
    setTabOrder(m_lstFunctions, m_btnStartFunction);
    setTabOrder(m_btnStartFunction, m_chkOutputToFile);
    setTabOrder(m_chkOutputToFile, m_edtOutputPath);
    setTabOrder(m_edtOutputPath, m_btnSelectOutput);
    setTabOrder(m_btnSelectOutput, m_btnStopProgram);

    // Qt has no window menu of its own: the About item lives in the window's context menu.
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    auto* about = new QAction("&About ZORIQ1...", this);
    addAction(separator);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(about, &QAction::triggered, this, &CProcessorDlg::OnAboutBox);

    connect(m_btnStartFunction, &QPushButton::clicked, this, &CProcessorDlg::OnStartFunction);
    connect(m_lstFunctions, &QListWidget::itemDoubleClicked, this, [this] { OnStartFunction(); });
    connect(m_btnSelectOutput, &QPushButton::clicked, this, &CProcessorDlg::OnSelectOutputFile);
    connect(m_btnStopProgram, &QPushButton::clicked, this, &CProcessorDlg::reject);
    OnInitDialog();
}

void CProcessorDlg::OnInitDialog() {
    setWindowIcon(ProgramIcon());
    m_chkOutputToFile->setChecked(m_bOutputToFile == 1);
    m_edtOutputPath->setText(m_strOutputPath);

    m_lstFunctions->addItem("Direct mapping of input to output");
    static char names[FILTER_BANK_LISTED][FILTER_NAME_SIZE];
    int count = 0;
    if (FilterBankReadIndex(FILTER_BANK_LISTED, &count, names) == FILTER_BANK_OK) {
        m_nFirstFilterIndex = 1;
        int appended = 0;
        for (int i = 0; i < count; ++i, ++appended) {
            const std::string name = FilterNameText(names[i]);
            m_lstFunctions->addItem(DecodeCp1252(name.data(), name.size()));
        }
        m_nLastFilterIndex = m_nFirstFilterIndex + appended - 1;
    } else {
        // A missing or broken bank only leaves its filters out.
        m_nFirstFilterIndex = m_nLastFilterIndex = 0;
    }
    m_lstFunctions->addItem("User defined FIR filter");
    m_lstFunctions->setCurrentRow(0);
    m_lstFunctions->setFocus();
}

void CProcessorDlg::OnStartFunction() {
    m_bOutputToFile = m_chkOutputToFile->isChecked() ? 1 : 0;
    const int s = m_lstFunctions->selectedItems().isEmpty() ? -1 : m_lstFunctions->currentRow();
    if (s == -1) {
        ZqMessageBox("No function selected.\nPlease select a function.", MB_OK | MB_ICONEXCLAMATION, this);
        return;
    }
    enum { DirectMapping, BankFilter, UserFilter } kind;
    if (s == 0)
        kind = DirectMapping;
    else if (m_nFirstFilterIndex <= s && s <= m_nLastFilterIndex)
        kind = BankFilter;
    else if (s == m_nLastFilterIndex + 1)
        kind = UserFilter;
    else
        return;
    if (m_bOutputToFile == 1 && m_strOutputFileName.isEmpty()) {
        ZqMessageBox("You have selected output to a file.\nPlease specify an output file.", MB_OK | MB_ICONEXCLAMATION,
                     this);
        return;
    }
    // The window starts the function while it is created; it shows this window again when it closes.
    QDialog* function = nullptr;
    switch (kind) {
    case DirectMapping: function = new CDirectMappingDlg(this); break;
    case BankFilter: function = new CFirFilterDlg(s - m_nFirstFilterIndex, this); break;
    case UserFilter: function = new CUserFirFilterDlg(this); break;
    }
    hide();
    function->show();
}

void CProcessorDlg::OnSelectOutputFile() {
    // A save dialog: choosing an existing file asks before it is replaced by the next run.
    FileDialogRequest request;
    request.parent = this;
    request.filter = "WAVE Files (*.wav)|*.wav||";
    request.defaultExtension = "wav";
    request.initialName = m_strOutputFileName;
    request.save = true;
    const FileDialogResult result = ZqFileDialog(request);
    if (result.accepted && !result.path.isEmpty()) {
        m_strOutputPath = result.path;
        m_strOutputFileName = result.fileName;
    } else {
        m_strOutputPath.clear();
        m_strOutputFileName.clear();
    }
    m_edtOutputPath->setText(m_strOutputPath);
}

void CProcessorDlg::OnCancel() {
    if (ZqMessageBox("Do you really want to quit ?", MB_YESNO | MB_ICONQUESTION, this) == IDYES) ZqDialog::OnCancel();
}

void CProcessorDlg::OnAboutBox() {
    QDialog about(this);
    about.setWindowTitle("About ZORIQ1");
    auto* layout = new QVBoxLayout(&about);
    auto* icon = new QLabel(&about);
    icon->setPixmap(ProgramIcon().pixmap(48, 48));
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    layout->addWidget(new QLabel(QString("ZORIQ1  Quorvel 1, version %1\n\n"
                                         "Processes the sound at the sound card's input live: direct mapping,\n"
                                         "a FIR filter from the filter bank FirFilter.fib, or your own FIR\n"
                                         "filter from a .fir file. The result plays about 372 ms later and can\n"
                                         "be written to a WAV file; spectrum windows show input and output.")
                                     .arg(ZORIQ1_VERSION),
                                 &about));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    layout->addWidget(buttons);
    about.exec();
}
