#include <QApplication>
#include <csignal>

#include "app/processor_app.h"

int main(int argc, char** argv) {
    // A file size limit or a closed pipe must come back as a failed write, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    app.setDesktopFileName("zoriq1");
    return ProcessorAppRun();
}
