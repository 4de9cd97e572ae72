#include <QApplication>
#include <csignal>
#include <cstdio>

#include "app/processor_app.h"

int main(int argc, char** argv) {
    // A file size limit or a closed pipe must come back as a failed write, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // Without a display Qt would abort with a core dump; say what is missing instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "zoriq1: no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
        return 1;
    }
    QApplication app(argc, argv);
    app.setDesktopFileName("zoriq1");
    return ProcessorAppRun();
}
