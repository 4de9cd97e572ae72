#pragma once
// The control windows of the three processing functions. Each is created by the main window with new,
// starts its function while it initialises (before the constructor returns), and ends itself on
// Stop Function, Enter, Escape, the close box or a posted close request, showing its owner again.
// The owner must be a COutputChoice (the main window) for the output choice to be read.
#include <QString>

#include "runners/runner_window.h"
#include "toolkit/toolkit.h"

class CSpectrumDisplayDlg;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The frame the three windows share: layout from a table, the spectrum check boxes, the start of the
// runner and the stop. A variant's constructor ends by calling InitDialog().
class CFunctionDlg : public ZqDialog, public CRunnerWindow {
    Q_OBJECT
public:
    struct RunnerOps {
        void (*start)(CRunnerWindow* window, int outputToFile, QString outputPath);
        int (*stop)();
        CRunnerWindow** window;  // the runner's pointer, to stop a runner still pointing here at deletion
    };
    enum ControlKind { Static, CheckBox, ReadOnlyEdit, DefaultButton };
    struct ControlSpec {
        int id;  // -1: no id
        ControlKind kind;
        const char* text;
        int x, y, w, h;
    };
    // A spectrum check box with the link it opens and closes.
    struct SpectrumCheck {
        QCheckBox* button;
        CSpectrumDisplayDlg** link;
        int* flag;
        const char* caption;
    };

    ~CFunctionDlg() override;
    void OnCancel() override;
    ZqDialog* RunnerDialog() override { return this; }

    QPushButton* m_btnStop = nullptr;  // 2

protected:
    CFunctionDlg(QWidget* owner, const char* caption, int width, int height, const RunnerOps& runner);
    // Builds the controls of the table in Tab order; returns the widget of each in order.
    QList<QWidget*> CreateControls(const ControlSpec* specs, int count);
    QWidget* Control(int id) const;
    void AddSpectrumCheck(QCheckBox* button, CSpectrumDisplayDlg** link, int* flag, const char* caption);
    void OnSpectrumCheck(int index);
    // Common initialisation; the variant's constructor calls it last, so the hooks below dispatch.
    void InitDialog();

    // Chooses what the function needs before anything shows (the coefficient file); false: cancelled.
    virtual bool ChooseInput() { return true; }
    // Reads the coefficients and fills the display; false after the failure has been reported.
    virtual bool ReadCoefficients() { return true; }

    // Stops a runner still pointing here and closes open spectrum windows: for each variant's destructor.
    void Teardown();

private:
    void CentreOverOwner();
    void CloseSpectrumWindows();
    RunnerOps m_runner;
    QList<QWidget*> m_controls;
    QList<SpectrumCheck> m_checks;
};

class CDirectMappingDlg final : public CFunctionDlg {
    Q_OBJECT
public:
    explicit CDirectMappingDlg(QWidget* owner);
    ~CDirectMappingDlg() override;
    CSpectrumDisplayDlg* InputSpectrumLink() const override { return nullptr; }
    CSpectrumDisplayDlg* OutputSpectrumLink() const override { return m_pSpectrum; }
    void OnSpectrumDisplay();

    QCheckBox* m_btnSpectrum = nullptr;           // 1022
    CSpectrumDisplayDlg* m_pSpectrum = nullptr;   // fed with the output block, which equals the input
    int m_bSpectrum = 0;
};

class CFirFilterDlg final : public CFunctionDlg {
    Q_OBJECT
public:
    CFirFilterDlg(int filterIndex, QWidget* owner);
    ~CFirFilterDlg() override;
    CSpectrumDisplayDlg* InputSpectrumLink() const override { return m_pSpectrumIn; }
    CSpectrumDisplayDlg* OutputSpectrumLink() const override { return m_pSpectrumOut; }
    void OnSpectrumDisplayInput();
    void OnSpectrumDisplayOutput();

    QLabel* m_stcCount = nullptr;            // 1013
    QLineEdit* m_edtDescription = nullptr;   // 1011
    QCheckBox* m_btnSpectrumOut = nullptr;   // 1029
    QCheckBox* m_btnSpectrumIn = nullptr;    // 1028
    CSpectrumDisplayDlg* m_pSpectrumIn = nullptr;
    int m_bSpectrumIn = 0;
    CSpectrumDisplayDlg* m_pSpectrumOut = nullptr;
    int m_bSpectrumOut = 0;
    int m_nFilterIndex;

protected:
    bool ReadCoefficients() override;
};

class CUserFirFilterDlg final : public CFunctionDlg {
    Q_OBJECT
public:
    explicit CUserFirFilterDlg(QWidget* owner);
    ~CUserFirFilterDlg() override;
    CSpectrumDisplayDlg* InputSpectrumLink() const override { return m_pSpectrumIn; }
    CSpectrumDisplayDlg* OutputSpectrumLink() const override { return m_pSpectrumOut; }
    void OnSpectrumDisplayInput();
    void OnSpectrumDisplayOutput();

    QCheckBox* m_btnSpectrumOut = nullptr;   // 1029
    QCheckBox* m_btnSpectrumIn = nullptr;    // 1028
    QLineEdit* m_edtFileName = nullptr;      // 1014
    QLabel* m_stcCount = nullptr;            // 1013
    QLineEdit* m_edtDescription = nullptr;   // 1011
    CSpectrumDisplayDlg* m_pSpectrumIn = nullptr;
    int m_bSpectrumIn = 0;
    CSpectrumDisplayDlg* m_pSpectrumOut = nullptr;
    int m_bSpectrumOut = 0;

protected:
    bool ChooseInput() override;
    bool ReadCoefficients() override;

private:
    QString m_strFilePath;  // the chosen coefficient file, full length
};
