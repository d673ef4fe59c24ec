#pragma once

#include "FrontendPorts.h"

#include <cstddef>
#include <string>
#include <vector>

enum class MenuAction { None, Reinstall, ToggleStudioMode, Quit };

struct MenuItem {
    bool separator = false;
    std::string title;
    MenuAction action = MenuAction::None;
    std::string keyEquivalent;
};

// The tray program's behaviour without its framework: whether to register the
// user service, the status menu's rows, the once-a-second refresh from the
// server's counters, studio mode and quitting. The view shows menu() and
// calls the actions; every platform operation goes through the ports.
class AppDelegate {
public:
    // Rows of menu() whose titles change.
    static constexpr std::size_t kStudioRow = 2;
    static constexpr std::size_t kSurfaceRow = 4;
    static constexpr std::size_t kUsbRow = 6;
    static constexpr std::size_t kWifiRow = 7;
    static constexpr std::size_t kConnectionsRow = 9;

    static constexpr const char* kStudioModeKey = "stud_mode";
    static constexpr const char* kServiceUnit = "corvilane.service";

    struct Ports {
        CommandRunner& commands;
        SettingsStore& settings;
        ServerStatus& server;
        ConsoleLog& console;
        AppHost& host;
    };

    explicit AppDelegate(const Ports& ports);

    // `arguments` are the process's: the program path first. Without further
    // arguments, or with "-afterinstall" (which first runs the installer), the
    // program enables and starts its user service and ends once that is done;
    // with any other argument it is the service and starts the server.
    void applicationDidFinishLaunching(const std::vector<std::string>& arguments);

    void reinstall();
    // Runs what a row's action stands for; None does nothing.
    void perform(MenuAction action);
    void toggle_studio_mode();
    // Rewrites the status rows; the view calls it once a second.
    void refresh();
    // Disables and stops the user service without waiting, then quit_instance.
    void quit();
    void quit_instance();

    const std::vector<MenuItem>& menu() const { return m_Menu; }
    // One line for each tablet with a confirmed session, as of the last refresh;
    // the views show them below the connections row.
    const std::vector<std::string>& tabletLines() const { return m_TabletLines; }

private:
    void registerService(const std::vector<std::string>& arguments);
    void setStudioTitle(bool on);

    Ports m_Ports;
    std::vector<MenuItem> m_Menu;
    std::vector<std::string> m_TabletLines;
};
