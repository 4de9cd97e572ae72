#pragma once
// What a runner needs of the function window it runs for: the window itself (owner of the engine's
// hidden window, target of close requests) and its spectrum links, which it reads afresh at every block.
class CSpectrumDisplayDlg;
class ZqDialog;

class CRunnerWindow {
public:
    virtual ZqDialog* RunnerDialog() = 0;
    // The spectrum window fed with the input block before the work, or null.
    virtual CSpectrumDisplayDlg* InputSpectrumLink() const = 0;
    // The spectrum window fed with the output block after the work, or null.
    virtual CSpectrumDisplayDlg* OutputSpectrumLink() const = 0;
protected:
    ~CRunnerWindow() = default;
};
