#include <QApplication>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/processor_app.h"
#include "engine/device/sound_api.h"

namespace {

const char kUsage[] =
    "Usage: zoriq1 [--help]\n"
    "\n"
    "Processes the sound of the default input live and plays it on the default output.\n"
    "Everything else is chosen in the program's windows.\n"
    "\n"
    "Environment:\n"
    "  ZORIQ1_AUDIO_API=pipewire|pulse|alsa|jack\n"
    "      the sound system to use. Unset, the program takes PipeWire when its server answers,\n"
    "      else PulseAudio, else ALSA, else JACK if its server runs at 11025 Hz.\n";

QtMessageHandler g_qtHandler = nullptr;

// In a locale that is not UTF-8, Qt 6.5 and later switch the character type to UTF-8 themselves and say so
// in four lines on stderr. What the program prints there is its own, so that notice is dropped; every
// other message goes on as before.
void dropLocaleNotice(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("Detected locale \""))) return;
    g_qtHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // A file size limit or a closed pipe must come back as a failed write, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // Without a display Qt would abort with a core dump; say what is missing instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "zoriq1: no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
        return 1;
    }
    // Where an X server is reachable (a plain X11 session, or Xwayland on a Wayland desktop), use it:
    // there the windows go where the program puts them and stay above each other as designed, while a
    // Wayland compositor places every window itself. Native Wayland remains the fallback, and a
    // platform the user names wins.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb;wayland");
    g_qtHandler = qInstallMessageHandler(dropLocaleNotice);
    QApplication app(argc, argv);
    app.setDesktopFileName("zoriq1");
    WaveSetBackend(&WaveSoundSystem());
    return ProcessorAppRun();
}
