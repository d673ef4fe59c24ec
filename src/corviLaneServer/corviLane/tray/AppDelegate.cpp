#include "AppDelegate.h"

#include <cstdlib>

namespace {


const std::vector<std::string> kEnableCommand = {"systemctl", "--user", "enable", AppDelegate::kServiceUnit};
const std::vector<std::string> kStartCommand = {"systemctl", "--user", "start", AppDelegate::kServiceUnit};
const std::vector<std::string> kDisableCommand = {"systemctl", "--user", "disable", "--now",
                                                  AppDelegate::kServiceUnit};

std::string joined(const std::vector<std::string>& arguments) {
    std::string text = "(";
    for (std::size_t i = 0; i < arguments.size(); ++i) text += (i > 0 ? ", " : "") + arguments[i];
    return text + ")";
}

std::vector<MenuItem> initialMenu() {
    const MenuItem separator{true, "", MenuAction::None, ""};
    return {
        {false, "Install Script", MenuAction::Reinstall, "ReinstallScript"},
        separator,
        {false, "Studio Mode: On", MenuAction::ToggleStudioMode, "studMode"},
        separator,
        {false, "Control Surface responding: No", MenuAction::None, "SurfaceDetected"},
        separator,
        {false, "Devices plugged via USB: 0", MenuAction::None, "UsbStatus"},
        {false, "Devices responding via WiFi: 0", MenuAction::None, "WifiStatus"},
        separator,
        {false, "Active Connections: 0", MenuAction::None, "NumberOfConnections"},
        separator,
        {false, "Quit", MenuAction::Quit, ""},
    };
}

}  // namespace

AppDelegate::AppDelegate(const Ports& ports) : m_Ports(ports), m_Menu(initialMenu()) {}

void AppDelegate::applicationDidFinishLaunching(const std::vector<std::string>& arguments) {
    if (arguments.size() <= 1) {
        registerService(arguments);
    } else if (arguments[1] == "-afterinstall") {
        m_Ports.console.line("starting after-install");
        reinstall();
        registerService(arguments);
    } else {
        m_Ports.console.line("Not registering corviLane as the user service " + std::string(kServiceUnit) + ": " +
                             joined(arguments));
        m_Ports.host.startServer();
    }
}

// The instance that registers ends as soon as systemctl has started the
// service, which runs the server; starting a second server here would contend
// with it for the fixed script ports. Only when registering fails does this
// instance run the server itself, so that the musician is not left without one.
void AppDelegate::registerService(const std::vector<std::string>& arguments) {
    m_Ports.console.line("Registering corviLane as the user service " + std::string(kServiceUnit) + ": " +
                         joined(arguments));
    m_Ports.commands.run(kEnableCommand, [this](int enabled) {
        if (enabled != 0) {
            m_Ports.console.line("systemctl could not enable " + std::string(kServiceUnit) + " (status " +
                                 std::to_string(enabled) + "); running without the user service");
            return m_Ports.host.startServer();
        }
        m_Ports.commands.run(kStartCommand, [this](int started) {
            if (started == 0) return m_Ports.host.exitNow(0);
            m_Ports.console.line(std::string(kServiceUnit) + " is enabled for the next login, but systemctl could "
                                 "not start it now (status " + std::to_string(started) +
                                 "); running the server here meanwhile");
            m_Ports.host.startServer();
        });
    });
}

void AppDelegate::reinstall() { m_Ports.host.runInstaller(); }

void AppDelegate::perform(MenuAction action) {
    if (action == MenuAction::Reinstall) reinstall();
    if (action == MenuAction::ToggleStudioMode) toggle_studio_mode();
    if (action == MenuAction::Quit) quit();
}

void AppDelegate::setStudioTitle(bool on) {
    m_Menu[kStudioRow].title = on ? "Studio Mode: On" : "Studio Mode: Off";
}

void AppDelegate::toggle_studio_mode() {
    const bool on = !m_Ports.server.studioMode();
    m_Ports.server.setStudioMode(on);
    setStudioTitle(on);
    m_Ports.settings.setValue(kStudioModeKey, on ? "1" : "0");
    m_Ports.settings.sync();
}

void AppDelegate::refresh() {
    const bool studio = std::atoi(m_Ports.settings.value(kStudioModeKey).value_or("0").c_str()) != 0;
    setStudioTitle(studio);
    m_Ports.server.setStudioMode(studio);

    m_Menu[kSurfaceRow].title =
        std::string("Control Surface responding: ") + (m_Ports.server.scriptResponding() ? "Yes" : "No");

    m_Menu[kUsbRow].title = "Devices plugged via USB: " + std::to_string(m_Ports.server.usbSessionCount());
    m_Menu[kWifiRow].title =
        "Devices responding via WiFi: " + std::to_string(m_Ports.server.wifiSessionCount());
    m_Menu[kConnectionsRow].title =
        "Active Connections: " + std::to_string(m_Ports.server.connectedSessionCount());
    m_TabletLines = m_Ports.server.tabletLines();
}

void AppDelegate::quit() {
    m_Ports.commands.run(kDisableCommand);
    quit_instance();
}

void AppDelegate::quit_instance() { m_Ports.host.exitNow(0); }
