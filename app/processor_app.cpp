#include "app/processor_app.h"

#include "engine/duplex_probe.h"
#include "toolkit/toolkit.h"
#include "ui/processor_dlg.h"

int ProcessorAppRun() {
    static const char* const probeMessages[] = {
        nullptr,
        "Error:\nThe wave input device can not be opened.\n\n(Possible problem: the wave input device is busy.)",
        "Error:\nThe wave output device can not be opened.\n\n(Possible problem: the wave output device is busy.)",
        "Error:\nNeither the wave input device nor the wave output device can be opened.\n\n"
        "(Possible problems: no soundcard or no driver installed or both devices busy.)",
        "Error:\nThe wave input and the wave output devices can not be opened simultaneously.\n\n"
        "(Possible problem: driver does not support full duplex operation.)",
        "Unknown error.\n\n(Try again.)",
    };
    const int probe = WaveProbeDevices(-1);
    if (probe == PROBE_DUPLEX_OK) {
        CProcessorDlg dlg;
        RunModalLoop(&dlg);
        return 0;
    }
    if (probe >= 1 && probe <= 5) ZqMessageBox(probeMessages[probe], MB_OK | MB_ICONEXCLAMATION);
    return 1;
}
