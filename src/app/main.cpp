#include "app/VornApp.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

int main(int argc, char* argv[]) {
    // Standard output may be a pipe whose reader has gone (`vorn-osc | head
    // -1`): a write to it must fail, not end the app and its alarm with it.
    std::signal(SIGPIPE, SIG_IGN);

    // Qt would abort with a message about platform plugins; a person at a
    // terminal without a display is better served by the headless monitor.
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM")) {
        std::fputs("vorn-osc: no display. To monitor the link in a terminal, run vorn-osc-cli "
                   "(see vorn-osc-cli --help).\n",
                   stderr);
        return 1;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vorn-osc"));
    QApplication::setDesktopFileName(QStringLiteral("vorn-osc"));

    vorn::app::VornApp app;
    app.show();
    return QApplication::exec();
}
