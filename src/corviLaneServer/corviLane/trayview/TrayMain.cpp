#include "OsxService.h"
#include "ReinstallWindow.h"
#include "TrayApplication.h"
#include "TrayOptions.h"
#include "UserFolders.h"

#include <QApplication>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

// The log, the settings file and the server's other files live in the state
// folder, however the program was started (the desktop entry starts it in
// the home folder, the user service in the state folder).
void workInStateFolder() {
    const std::string folder = user_folders::state();
    if (user_folders::make(folder) && chdir(folder.c_str()) == 0) return;
    std::fprintf(stderr, "corviLane: cannot work in %s (%s); the log and settings are in the current folder\n",
                 folder.empty() ? "the state folder (no HOME)" : folder.c_str(), std::strerror(errno));
}

// Help, version and a wrong command line are answered before anything starts:
// no display, no server.
std::optional<int> answerCommandLine(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const TrayOptions options = TrayOptions::parse(arguments);
    switch (options.mode) {
        case TrayOptions::Mode::Help:
        case TrayOptions::Mode::Version:
            std::fputs(options.text.c_str(), stdout);
            return 0;
        case TrayOptions::Mode::Error:
            std::fprintf(stderr, "%s\n%s\n", options.text.c_str(), TrayOptions::hint().c_str());
            return 2;
        case TrayOptions::Mode::Run:
            break;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const std::optional<int> status = answerCommandLine(argc, argv)) return *status;
    catchTerminationSignals();
    workInStateFolder();
    // Without a display (or a tray) the program still runs the server.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName("corviLane");
    QApplication::setApplicationName("corviLane");
    // Closing the installer must not end a program that lives in the tray.
    QApplication::setQuitOnLastWindowClosed(false);

    std::vector<std::string> arguments;
    for (const QString& argument : QApplication::arguments()) arguments.push_back(argument.toStdString());
    TrayApplication tray(dataFolderOf(QApplication::applicationFilePath().toStdString()));
    return tray.exec(arguments);
}
