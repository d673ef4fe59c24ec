#include "OsxService.h"
#include "ReinstallWindow.h"
#include "TrayApplication.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    catchTerminationSignals();
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
