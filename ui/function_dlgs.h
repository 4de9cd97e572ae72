#pragma once
// The control windows of the three processing functions. Each is created by the main window with new,
// starts its function while it initialises (before the constructor returns), and ends itself on
// Stop Function, Enter, Escape, the close box or a posted close request, showing its owner again.
// The owner must be a COutputChoice (the main window) for the output choice to be read.
#include <QString>
#include <vector>

#include "runners/runner_window.h"
#include "toolkit/toolkit.h"

class CFilterResponseDlg;
class CSpectrumDisplayDlg;
class QAction;
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
    // A spectrum check box with the link it opens and closes. The link and its flag change together,
    // only through SetSpectrumLink().
    struct SpectrumCheck {
        QCheckBox* button;
        CSpectrumDisplayDlg** link;
        int* flag;
        const char* caption;
    };
    struct Layout {
        const char* caption;
        int width, height;  // dialog units
        const ControlSpec* controls;
        int count;
    };

    ~CFunctionDlg() override;
    void OnCancel() override;

    // What the runner sees of this window.
    QObject* RunnerOwner() override { return this; }
    void ShowRunnerMessage(const char* text) override;
    void RequestClose() override;

    QPushButton* m_btnStop = nullptr;  // 2

    // The filter response window, from the context menu or its key, Alt+R: opened beside the spectrum
    // windows when the action is checked, closed when it is cleared and with the function.
    CResponseSink* ResponseLink() const override;
    void OnFilterResponse();
    QAction* m_actResponse = nullptr;
    CFilterResponseDlg* m_pResponse = nullptr;

protected:
    // Builds the window and the controls of the layout, in Tab order.
    CFunctionDlg(QWidget* owner, const Layout& layout, const RunnerOps& runner);
    QWidget* Control(int id) const;
    template <typename W>
    W* Control(int id) const {
        return qobject_cast<W*>(Control(id));
    }
    // The check box with the given id opens and closes *link; its click handler calls OnSpectrumCheck.
    QCheckBox* AddSpectrumCheck(int id, CSpectrumDisplayDlg** link, int* flag, const char* caption);
    void OnSpectrumCheck(int index);
    // Common initialisation; the variant's constructor calls it last, so the hooks below dispatch.
    void InitDialog();

    // Chooses what the function needs before anything shows (the coefficient file); false: cancelled.
    virtual bool ChooseInput() { return true; }
    // Reads the coefficients and fills the display; false after the failure has been reported.
    virtual bool ReadCoefficients() { return true; }
    // The coefficients the runner works with (direct mapping: the one coefficient 1).
    virtual void RunningCoefficients(const double** coefficients, int* count) const = 0;

    // Stops a runner still pointing here and closes open spectrum windows: for each variant's destructor.
    void Teardown();

private:
    void SetSpectrumLink(const SpectrumCheck& check, CSpectrumDisplayDlg* window);
    void CloseSpectrumWindows();
    void CloseResponseWindow();
    // Also from a spectrum or the response window, where the window system gives them the focus.
    void AddWindowKeys(QWidget* window);
    RunnerOps m_runner;
    std::vector<double> m_designedDb;  // per bin, computed the first time the response window opens
    bool m_bStopping = false;  // the stop may show a message box, whose loop can deliver another close request
    QList<QWidget*> m_controls;
    QList<SpectrumCheck> m_checks;
};

class CDirectMappingDlg final : public CFunctionDlg {
    Q_OBJECT
public:
    explicit CDirectMappingDlg(QWidget* owner);
    ~CDirectMappingDlg() override;
    CSpectrumSink* InputSpectrumLink() const override { return nullptr; }
    CSpectrumSink* OutputSpectrumLink() const override;
    void OnSpectrumDisplay();

protected:
    void RunningCoefficients(const double** coefficients, int* count) const override;

public:
    QCheckBox* m_btnSpectrum = nullptr;  // 1022
    CSpectrumDisplayDlg* m_pSpectrum = nullptr;  // fed with the output block, which equals the input
    int m_bSpectrum = 0;
};

// What the two FIR windows share: the coefficient count and description, and the input and output
// spectrum pair.
class CFirFunctionDlg : public CFunctionDlg {
    Q_OBJECT
public:
    CSpectrumSink* InputSpectrumLink() const override;
    CSpectrumSink* OutputSpectrumLink() const override;
    void OnSpectrumDisplayInput();
    void OnSpectrumDisplayOutput();

    QLabel* m_stcCount = nullptr;  // 1013
    QLineEdit* m_edtDescription = nullptr;  // 1011
    QCheckBox* m_btnSpectrumOut = nullptr;  // 1029
    QCheckBox* m_btnSpectrumIn = nullptr;  // 1028
    CSpectrumDisplayDlg* m_pSpectrumIn = nullptr;
    int m_bSpectrumIn = 0;
    CSpectrumDisplayDlg* m_pSpectrumOut = nullptr;
    int m_bSpectrumOut = 0;

protected:
    CFirFunctionDlg(QWidget* owner, const Layout& layout, const RunnerOps& runner);
    // Shows the coefficient count and the description once the coefficients are read.
    void ShowCoefficients(int count, const QString& description);
};

class CFirFilterDlg final : public CFirFunctionDlg {
    Q_OBJECT
public:
    CFirFilterDlg(int filterIndex, QWidget* owner);
    ~CFirFilterDlg() override;

    int m_nFilterIndex;

protected:
    bool ReadCoefficients() override;
    void RunningCoefficients(const double** coefficients, int* count) const override;
};

class CUserFirFilterDlg final : public CFirFunctionDlg {
    Q_OBJECT
public:
    explicit CUserFirFilterDlg(QWidget* owner);
    ~CUserFirFilterDlg() override;

    QLineEdit* m_edtFileName = nullptr;  // 1014

protected:
    bool ChooseInput() override;
    bool ReadCoefficients() override;
    void RunningCoefficients(const double** coefficients, int* count) const override;

private:
    QString m_strFilePath;  // the chosen coefficient file, full length
};
