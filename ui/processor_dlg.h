#pragma once
// The main window: the list of functions, the output choice, and the way out of the program.
#include "toolkit/toolkit.h"
#include "ui/output_choice.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;

class CProcessorDlg : public ZqDialog, public COutputChoice {
    Q_OBJECT
public:
    explicit CProcessorDlg(QWidget* parent = nullptr);

    void OnStartFunction();
    void OnSelectOutputFile();
    void OnCancel() override;  // asks before the program ends
    void OnAboutBox();

    int m_nFirstFilterIndex = -1;
    int m_nLastFilterIndex = -1;
    QCheckBox* m_chkOutputToFile = nullptr;  // 1006
    QLineEdit* m_edtOutputPath = nullptr;  // 1007
    QListWidget* m_lstFunctions = nullptr;  // 1004
    QPushButton* m_btnStartFunction = nullptr;  // 1009
    QPushButton* m_btnSelectOutput = nullptr;  // 1008
    QPushButton* m_btnStopProgram = nullptr;  // 2

private:
    void OnInitDialog();
};

// The program's icon, drawn rather than loaded so it needs no image plugin.
QIcon ProgramIcon();
