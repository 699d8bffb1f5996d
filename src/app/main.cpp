#include "app/DisplayProbe.h"
#include "app/Look.h"
#include "app/VornApp.h"

#include <QApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char* argv[]) {
    // Standard output may be a pipe whose reader has gone (`vorn-osc | head
    // -1`): a write to it must fail, not end the app and its alarm with it.
    std::signal(SIGPIPE, SIG_IGN);

    // Qt would abort with a message about platform plugins; a person at a
    // terminal without a display (or with one that has gone, such as a
    // closed remote session's) is better served by the headless monitor.
    if (const auto problem = vorn::app::displayProblem()) {
        std::fprintf(stderr,
                     "vorn-osc: %s. To monitor the link in a terminal, run vorn-osc-cli "
                     "(see vorn-osc-cli --help).\n",
                     problem->c_str());
        return 1;
    }

    QApplication application(argc, argv);
    vorn::app::look::apply(application);
    QApplication::setApplicationName(QStringLiteral("vorn-osc"));
    QApplication::setDesktopFileName(QStringLiteral("vorn-osc"));

    vorn::app::VornApp app;
    app.show();
    return QApplication::exec();
}
