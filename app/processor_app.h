#pragma once
// The program's start-up: check the sound card, then run the main window until the user quits.
// Returns the process exit status: 0 after the main window ended, 1 when the devices cannot be used.
int ProcessorAppRun();
