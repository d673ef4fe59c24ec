#pragma once

#include "AppDelegate.h"
#include "InstanceLock.h"
#include "QtPlatform.h"
#include "RegistryServerStatus.h"

#include <QSystemTrayIcon>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class StatusWindow;
class TrayMenu;

// The tray program: the status icon and its menu over the AppDelegate, the
// installer window, and the server on a thread of its own. When the server
// ends (a signal or a tablet's shutdown request) the program ends with it.
class TrayApplication : public AppHost {
public:
    // `dataFolder` holds the Live script folders.
    explicit TrayApplication(std::string dataFolder);
    // Stops the server if it still runs and waits for it.
    ~TrayApplication() override;

    // Starts up as the arguments say and runs the event loop.
    int exec(const std::vector<std::string>& arguments);

    void runInstaller() override;
    void startServer() override;
    [[noreturn]] void exitNow(int status) override;

    static constexpr const char* kIconKey = "tray_icon";

    // Stops the server thread and waits for it; safe to call more than once.
    void stopServer();

private:
    // One copy per user: false (after saying so) when another one runs.
    bool claimInstance(const std::vector<std::string>& arguments);
    bool takeLock();
    void tellAlreadyRunning(const InstanceLock::Holder& holder);
    QIcon trayIcon() const;
    void refresh();

    std::string m_DataFolder;
    QtCommandRunner m_Commands;
    QtSettingsStore m_Settings;
    RegistryServerStatus m_Status;
    StandardErrorConsole m_Console;
    AppDelegate m_Delegate;
    std::unique_ptr<TrayMenu> m_Menu;
    std::unique_ptr<StatusWindow> m_Window;  // only where there is no system tray
    QSystemTrayIcon m_Tray;
    QTimer m_Refresh;
    std::optional<InstanceLock> m_Lock;  // taken before the server touches any port
    std::thread m_Server;
    std::atomic<bool> m_ServerEnded{false};
};
