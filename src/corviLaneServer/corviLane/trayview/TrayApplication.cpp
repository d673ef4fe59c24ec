#include "TrayApplication.h"

#include "InstallerDialog.h"
#include "LinuxPlatform.h"
#include "LocalFileSystem.h"
#include "OsxService.h"
#include "ReinstallWindow.h"
#include "StatusWindow.h"
#include "TrayMenu.h"
#include "corviLaneServer.h"

#include <QApplication>
#include <QCursor>
#include <QMessageBox>
#include <QPalette>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kRefreshMilliseconds = 1000;
constexpr int kIconSizes[] = {16, 22, 32, 48};

// The application whose server must stop before the process's static objects
// go, when something calls exit() under it: Qt does so when the display goes
// away. Not owned.
std::atomic<TrayApplication*> runningApplication{nullptr};

void stopServerAtExit() {
    if (TrayApplication* application = runningApplication.exchange(nullptr)) application->stopServer();
}

}  // namespace

TrayApplication::TrayApplication(std::string dataFolder)
    : m_DataFolder(std::move(dataFolder)), m_Delegate({m_Commands, m_Settings, m_Status, m_Console, *this}) {}

TrayApplication::~TrayApplication() {
    runningApplication = nullptr;
    stopServer();
}

int TrayApplication::exec(const std::vector<std::string>& arguments) {
    if (!claimInstance(arguments)) return 1;
    m_Delegate.applicationDidFinishLaunching(arguments);

    m_Menu = std::make_unique<TrayMenu>(m_Delegate);
    m_Tray.setIcon(trayIcon());
    m_Tray.setToolTip("corviLane");
    m_Tray.setContextMenu(m_Menu.get());
    // A click opens the menu too, not only the context click: below the icon
    // when the tray tells where it is.
    QObject::connect(&m_Tray, &QSystemTrayIcon::activated, m_Menu.get(), [this](QSystemTrayIcon::ActivationReason why) {
        if (why != QSystemTrayIcon::Trigger) return;
        const QRect icon = m_Tray.geometry();
        m_Menu->popup(icon.isValid() ? icon.bottomLeft() + QPoint(0, 1) : QCursor::pos());
    });
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        m_Console.line("No system tray is available (display platform \"" +
                       QApplication::platformName().toStdString() +
                       "\"): corviLane shows its status in a window instead of a menu.");
        m_Window = std::make_unique<StatusWindow>(m_Delegate);
        m_Window->setWindowIcon(trayIcon());
        m_Window->show();
    }
    m_Tray.show();

    QObject::connect(&m_Refresh, &QTimer::timeout, [this] { refresh(); });
    m_Refresh.start(kRefreshMilliseconds);
    return QApplication::exec();
}

// A program that runs the server takes the lock at once; one that is to
// register the user service only looks, since the service it starts takes
// the lock; one that installs the script after an installation goes on.
bool TrayApplication::claimInstance(const std::vector<std::string>& arguments) {
    if (arguments.size() > 1 && arguments[1] == "-afterinstall") return true;
    if (arguments.size() > 1) return takeLock();
    if (const auto holder = InstanceLock::holder()) {
        tellAlreadyRunning(*holder);
        return false;
    }
    return true;
}

bool TrayApplication::takeLock() {
    if (m_Lock) return true;
    std::optional<InstanceLock::Holder> holder;
    m_Lock = InstanceLock::take(holder);
    if (!holder) return true;  // taken, or no lock to be had: run all the same
    tellAlreadyRunning(*holder);
    return false;
}

// On standard error, and in an alert where there is a screen to show it on.
void TrayApplication::tellAlreadyRunning(const InstanceLock::Holder& holder) {
    const std::string text = InstanceLock::alreadyRunning(holder);
    m_Console.line(text);
    if (QApplication::platformName() != "offscreen") QMessageBox::warning(nullptr, "corviLane", QString::fromStdString(text));
}

void TrayApplication::refresh() {
    m_Delegate.refresh();
    m_Menu->showTitles();
    const std::string reach = m_Status.reachLine();
    m_Tray.setToolTip(QString::fromStdString("corviLane\n" + reach));
    if (m_Window) m_Window->showStatus(reach);
}

// A monochrome glyph: white for dark panels, black for light ones, chosen from
// the desktop's palette unless the setting "tray_icon" says "white" or "black".
QIcon TrayApplication::trayIcon() const {
    const bool darkPalette = QApplication::palette().color(QPalette::Window).lightness() < 128;
    const std::string colour = m_Settings.value(kIconKey).value_or(darkPalette ? "white" : "black");
    const QString name = colour == "white" ? "white" : "black";
    QIcon icon(":/corvilane/tray_icon_" + name + ".svg");
    for (const int size : kIconSizes) {
        icon.addFile(QString(":/corvilane/tray_icon_%1_%2.png").arg(name).arg(size), QSize(size, size));
    }
    return icon;
}

void TrayApplication::runInstaller() {
    LocalFileSystem files;
    QtAlerts alerts;
    QtFilePicker picker;
    ReinstallWindow installer({files, alerts, picker, m_Console},
                              InstallerFolders::fromSettings(m_Settings, m_DataFolder), &m_Settings);
    InstallerDialog dialog(installer);
    alerts.attachTo(&dialog);
    picker.attachTo(&dialog);
    dialog.exec();
}

void TrayApplication::startServer() {
    if (m_Server.joinable()) return;
    if (!takeLock()) exitNow(1);
    // Registered once the statics the server uses exist, so that it runs
    // before their destructors.
    LinuxPlatform::instance();
    static const bool registered = std::atexit(stopServerAtExit) == 0;
    if (registered) runningApplication = this;
    m_Server = std::thread([this] {
        osxMain(0, nullptr, m_Lock ? &*m_Lock : nullptr);
        m_ServerEnded = true;
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
}

void TrayApplication::exitNow(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

void TrayApplication::stopServer() {
    if (!m_Server.joinable()) return;
    // The server may not have reached its run loop yet, which sets the flag.
    while (!m_ServerEnded) {
        daemonRunning = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    m_Server.join();
}
