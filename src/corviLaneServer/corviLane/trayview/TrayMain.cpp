#include "OsxService.h"
#include "ReinstallWindow.h"
#include "TrayApplication.h"
#include "UserFolders.h"

#include <QApplication>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

}  // namespace

int main(int argc, char* argv[]) {
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
