// The three runners are one design: a table entry per runner names its window pointer, its block
// procedure and its block work; start, stop, the error reporting and the spectrum feeding are shared.
#include "runners/runners.h"

#include <QByteArray>
#include <QFile>
#include <cstring>

#include "dsp/fft.h"
#include "dsp/filter_bank.h"
#include "dsp/fir_analysis.h"
#include "dsp/fir_convolve.h"
#include "dsp/fir_file.h"

CRunnerWindow* DirectMappingWindow = nullptr;
CRunnerWindow* FirBankWindow = nullptr;
CRunnerWindow* UserFirWindow = nullptr;

namespace {

long g_spectrumFrames = 0;

// Fills the output block; returns how many of its samples clipped.
using BlockWork = uint32_t (*)(int inputBlock, int outputBlock);

struct Runner {
    CRunnerWindow** window;
    WaveNotifyProc blockProc;
    BlockWork work;
    // Error boxes do not nest: while one is open, later errors are remembered, to be told in one more box
    // once it has been dismissed.
    bool errorBoxOpen = false;
    bool closePending = false;
    const char* pendingText = nullptr;
    // Since the start: output samples made, and how many of them clipped.
    long long samples = 0;
    long long clipped = 0;
};

// A count from a coefficient array, kept within the array whatever the reader left in it.
uint32_t TapCount(int32_t count) {
    if (count < 0) return 0;
    return count > FIR_MAX_COEFFICIENTS ? FIR_MAX_COEFFICIENTS : static_cast<uint32_t>(count);
}

uint32_t CopyBlock(int inputBlock, int outputBlock) {
    std::memcpy(OutputRing + WAVE_BLOCK_SAMPLES * outputBlock, InputRing + WAVE_BLOCK_SAMPLES * inputBlock,
                WAVE_BLOCK_BYTES);
    return 0;
}

uint32_t Convolve(int inputBlock, int outputBlock, const double* coefficients, uint32_t count) {
    FirConvolve(InputRing, inputBlock, OutputRing, outputBlock, WAVE_BLOCK_SAMPLES, WAVE_NUM_BLOCKS, coefficients,
                count);
    return FirClippedSamples(InputRing, inputBlock, OutputRing, outputBlock, WAVE_BLOCK_SAMPLES, WAVE_NUM_BLOCKS,
                             coefficients, count);
}

uint32_t ConvolveBank(int inputBlock, int outputBlock) {
    return Convolve(inputBlock, outputBlock, BankCoefficients, TapCount(BankCoefficientCount));
}

uint32_t ConvolveUser(int inputBlock, int outputBlock) {
    return Convolve(inputBlock, outputBlock, UserCoefficients, TapCount(UserCoefficientCount));
}

Runner g_directMapping{&DirectMappingWindow, DirectMappingBlock, CopyBlock};
Runner g_firBank{&FirBankWindow, FirBankBlock, ConvolveBank};
Runner g_userFir{&UserFirWindow, UserFirBlock, ConvolveUser};

void PostClose(Runner& r) {
    if (*r.window) (*r.window)->RequestClose();
}

// Shows the message, then the one remembered while its box was open, if any; a close request, this one's or
// one remembered, is posted to the runner's window once the boxes have been dismissed.
void ReportError(Runner& r, const char* text, bool close) {
    if (r.errorBoxOpen) {
        // The first reason to close is the one worth telling; a notice only while there is none.
        if (!r.pendingText || (close && !r.closePending)) r.pendingText = text;
        if (close) r.closePending = true;
        return;
    }
    if (!*r.window) return;
    r.errorBoxOpen = true;
    r.pendingText = nullptr;
    (*r.window)->ShowRunnerMessage(text);
    // One more box at most: an overflow is reported again with every block for as long as it lasts.
    if (r.pendingText && std::strcmp(r.pendingText, text) != 0 && *r.window)
        (*r.window)->ShowRunnerMessage(r.pendingText);
    r.errorBoxOpen = false;
    r.pendingText = nullptr;
    const bool post = close || r.closePending;
    r.closePending = false;
    if (post) PostClose(r);
}

// One frame from one block: the samples as they are, unscaled and unwindowed.
void Transform(const int16_t* block, double* samples, double* re, double* im) {
    for (int n = 0; n < WAVE_BLOCK_SAMPLES; ++n) samples[n] = block[n];
    Fft(WAVE_BLOCK_SAMPLES, 0, samples, nullptr, re, im);
    ++g_spectrumFrames;
}

void ProcessBlock(Runner& r, int inputBlock, int outputBlock) {
    if (!InputRing || !OutputRing || inputBlock < 0 || inputBlock >= WAVE_NUM_BLOCKS || outputBlock < 0 ||
        outputBlock >= WAVE_NUM_BLOCKS)
        return;
    // Work arrays belong to the call: the procedure may be entered again while a message box is open.
    // Each transform is made once and shared by every window that shows it.
    double samples[WAVE_BLOCK_SAMPLES];
    double inRe[WAVE_BLOCK_SAMPLES];
    double inIm[WAVE_BLOCK_SAMPLES];
    double outRe[WAVE_BLOCK_SAMPLES];
    double outIm[WAVE_BLOCK_SAMPLES];
    // The links are read afresh at every block: spectrum windows come and go while the function runs.
    CResponseSink* response = *r.window ? (*r.window)->ResponseLink() : nullptr;
    CSpectrumSink* in = *r.window ? (*r.window)->InputSpectrumLink() : nullptr;
    if (in || response) Transform(InputRing + WAVE_BLOCK_SAMPLES * inputBlock, samples, inRe, inIm);
    if (in) in->UpdateSpectrum(inRe, inIm, WAVE_BLOCK_SAMPLES);
    r.clipped += r.work(inputBlock, outputBlock);
    r.samples += WAVE_BLOCK_SAMPLES;
    CSpectrumSink* out = *r.window ? (*r.window)->OutputSpectrumLink() : nullptr;
    if (out || response) Transform(OutputRing + WAVE_BLOCK_SAMPLES * outputBlock, samples, outRe, outIm);
    if (out) out->UpdateSpectrum(outRe, outIm, WAVE_BLOCK_SAMPLES);
    if (response) response->UpdateResponse(inRe, inIm, outRe, outIm, WAVE_BLOCK_SAMPLES, r.clipped, r.samples);
}

// What the user is told of each engine error, and whether the function ends because of it.
struct ErrorReport {
    int code;
    const char* text;
    bool close;
};
const ErrorReport kErrorReports[] = {
    {WAVE_ERR_OUT_UNPREPARE, "Error while operating.", true},
    {WAVE_ERR_OUT_PREPARE, "Error while operating.", true},
    {WAVE_ERR_OUT_WRITE, "Error while operating.", true},
    {WAVE_ERR_IN_UNPREPARE, "Error while operating.", true},
    {WAVE_ERR_IN_PREPARE, "Error while operating.", true},
    {WAVE_ERR_IN_ADDBUFFER, "Error while operating.", true},
    // The engine has already ended the file output; the sound goes on.
    {WAVE_ERR_FILE_FULL, "Error writing to output wave file: disk is full.\nOutput to file is stopped.", false},
    {WAVE_ERR_FILE_WRITE, "Error writing to output wave file.", true},
    {WAVE_ERR_OVERFLOW, "Output buffer overflow", true},
};

int RunBlock(Runner& r, int code, int inputBlock, int outputBlock) {
    if (code == WAVE_BLOCK_READY) {
        ProcessBlock(r, inputBlock, outputBlock);
        return 0;
    }
    for (const ErrorReport& report : kErrorReports) {
        if (report.code == code) {
            ReportError(r, report.text, report.close);
            break;
        }
    }
    return 0;
}

// A failed step leaves the engine part way up: the stop reached through the close request takes it down.
void Start(Runner& r, CRunnerWindow* window, int outputToFile, const QString& outputPath) {
    *r.window = window;
    r.samples = 0;
    r.clipped = 0;
    if (!r.errorBoxOpen) {
        r.closePending = false;
        r.pendingText = nullptr;
    }
    QObject* owner = window ? window->RunnerOwner() : nullptr;
    if (WaveInit(owner, r.blockProc) != WAVE_OK) {
        ReportError(r, "Initialisation of the audio system failed.", true);
        return;
    }
    if (WaveInOpen(WAVE_MAPPER) != WAVE_OK) {
        ReportError(r, "Unable to open the audio input device.\nThe device is probably busy.", true);
        return;
    }
    const QByteArray path = QFile::encodeName(outputPath);
    const int result = WaveOutOpen(WAVE_MAPPER, outputToFile, path.constData());
    if (result == WAVE_OUT_OPEN_ERR_FILE) {
        ReportError(r, "Unable to open the output file.", true);
        return;
    }
    if (result != WAVE_OK) {
        ReportError(r, "Unable to open the audio output device.\nThe device is probably busy.", true);
        return;
    }
    WaveOutStart();  // cannot fail once both directions are open
    if (WaveInStart() != WAVE_OK) ReportError(r, "Unable to start recording.", true);
}

// Each step refuses harmlessly when it does not apply, so this is safe after any partial start and twice.
int Stop(Runner& r) {
    CRunnerWindow* window = *r.window;
    WaveInStop();
    WaveInClose();
    WaveOutStop();
    const bool fileFailed = WaveOutClose() == WAVE_OUT_CLOSE_ERR_FILE;
    const int result = WaveExit();
    *r.window = nullptr;
    // Told once the engine is down, so that no loop runs between the steps above. The window is the one
    // being stopped, on its way out already: no close request follows.
    if (fileFailed && window) window->ShowRunnerMessage("Error writing to output wave file.");
    return result;
}

}  // namespace

void DirectMappingStart(CRunnerWindow* window, int outputToFile, QString outputPath) {
    Start(g_directMapping, window, outputToFile, outputPath);
}
int DirectMappingStop() {
    return Stop(g_directMapping);
}
int DirectMappingBlock(int code, int inputBlock, int outputBlock) {
    return RunBlock(g_directMapping, code, inputBlock, outputBlock);
}

void FirBankStart(CRunnerWindow* window, int outputToFile, QString outputPath) {
    Start(g_firBank, window, outputToFile, outputPath);
}
int FirBankStop() {
    return Stop(g_firBank);
}
int FirBankBlock(int code, int inputBlock, int outputBlock) {
    return RunBlock(g_firBank, code, inputBlock, outputBlock);
}

void UserFirStart(CRunnerWindow* window, int outputToFile, QString outputPath) {
    Start(g_userFir, window, outputToFile, outputPath);
}
int UserFirStop() {
    return Stop(g_userFir);
}
int UserFirBlock(int code, int inputBlock, int outputBlock) {
    return RunBlock(g_userFir, code, inputBlock, outputBlock);
}

long RunnerSpectrumFrames() {
    return g_spectrumFrames;
}
