#pragma once
// The three processing runners. Each binds its function to the audio engine for the life of one
// function window: start brings the engine up (reporting failures itself), the block procedure fills
// every output block and feeds the window's spectrum windows, stop takes the engine down.
#include <QString>

#include "engine/wave_engine.h"
#include "runners/runner_window.h"

// The window each runner is running for; null while idle.
extern CRunnerWindow* DirectMappingWindow;
extern CRunnerWindow* FirBankWindow;
extern CRunnerWindow* UserFirWindow;

void DirectMappingStart(CRunnerWindow* window, int outputToFile, QString outputPath);
int DirectMappingStop();
int DirectMappingBlock(int code, int inputBlock, int outputBlock);

void FirBankStart(CRunnerWindow* window, int outputToFile, QString outputPath);
int FirBankStop();
int FirBankBlock(int code, int inputBlock, int outputBlock);

void UserFirStart(CRunnerWindow* window, int outputToFile, QString outputPath);
int UserFirStop();
int UserFirBlock(int code, int inputBlock, int outputBlock);

// Number of spectrum frames the runners have computed since the program started.
long RunnerSpectrumFrames();
