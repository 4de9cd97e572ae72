#pragma once
// All a runner knows of the user interface: the function window it runs for hands it the spectrum sinks
// to feed (read afresh at every block) and takes its errors. Nothing here needs widgets.
class QObject;

// A spectrum window as the runner sees it: takes the FFT of one block and shows it before returning.
class CSpectrumSink {
public:
    virtual void UpdateSpectrum(const double* re, const double* im, int n) = 0;

protected:
    ~CSpectrumSink() = default;
};

// The filter response window as the runner sees it: the transforms of one block's input and of the output
// made from it (the frames the spectrum windows get), and the output samples clipped since the start.
class CResponseSink {
public:
    virtual void UpdateResponse(const double* inRe, const double* inIm, const double* outRe, const double* outIm, int n,
                                long long clippedSamples, long long samples) = 0;

protected:
    ~CResponseSink() = default;
};

class CRunnerWindow {
public:
    // Owner of the engine's hidden window.
    virtual QObject* RunnerOwner() = 0;
    // The sink fed with the input block before the work, or null.
    virtual CSpectrumSink* InputSpectrumLink() const = 0;
    // The sink fed with the output block after the work, or null.
    virtual CSpectrumSink* OutputSpectrumLink() const = 0;
    // The sink fed with both transforms after the work, or null.
    virtual CResponseSink* ResponseLink() const { return nullptr; }
    // Shows text in a modal message box (exclamation icon, OK) and returns once it is dismissed. Device
    // notifications and posted requests go on meanwhile, so the window may be gone when this returns.
    // The stop calls it too, from the window's own stop, once the engine is down.
    virtual void ShowRunnerMessage(const char* text) = 0;
    // Queues a close request to the window; it is never handled inside this call.
    virtual void RequestClose() = 0;

protected:
    ~CRunnerWindow() = default;
};
