#pragma once

#include "AppDelegate.h"

#include <map>

// Recording stand-ins for the tray program's platform operations.
struct FakeCommands : CommandRunner {
    std::vector<std::pair<std::vector<std::string>, std::function<void(int)>>> calls;
    void run(const std::vector<std::string>& argv, std::function<void(int)> finished) override {
        calls.emplace_back(argv, std::move(finished));
    }
};

struct FakeSettings : SettingsStore {
    std::map<std::string, std::string> values;
    int syncs = 0;
    std::optional<std::string> value(const std::string& key) const override {
        return values.count(key) != 0 ? std::optional(values.at(key)) : std::nullopt;
    }
    void setValue(const std::string& key, const std::string& value) override { values[key] = value; }
    void sync() override { ++syncs; }
};

struct FakeServer : ServerStatus {
    std::size_t usb = 0, wifi = 0, connected = 0;
    bool studio = false, responding = false;
    bool scriptResponding() override { return responding; }
    std::size_t usbSessionCount() const override { return usb; }
    std::size_t wifiSessionCount() const override { return wifi; }
    std::size_t connectedSessionCount() const override { return connected; }
    std::vector<std::string> lines;
    std::vector<std::string> tabletLines() const override { return lines; }
    bool studioMode() const override { return studio; }
    void setStudioMode(bool on) override { studio = on; }
};

// Console lines and alerts ("kind|message|informative|button") in one record.
struct FakeUser : ConsoleLog, Alerts, FilePicker {
    std::vector<std::string> lines, alerts;
    std::optional<std::string> choice, scripts;
    void line(const std::string& text) override { lines.push_back(text); }
    void warningSheet(const std::string& m, const std::string& i, const std::string& b) override {
        alerts.push_back("sheet|" + m + "|" + i + "|" + b);
    }
    void inform(const std::string& m, const std::string& i, const std::string& b) override {
        alerts.push_back("inform|" + m + "|" + i + "|" + b);
    }
    void error(const std::string& description) override { alerts.push_back("error|" + description); }
    std::optional<std::string> chooseLive() override { return choice; }
    std::optional<std::string> chooseScripts() override { return scripts; }
};

// The program around the delegate; exitStatus -1 until it ends.
struct FakeHost : AppHost {
    const FakeCommands& commands;
    int installerRuns = 0, serverStarts = 0, exitStatus = -1;
    std::size_t commandsBeforeExit = 0;
    explicit FakeHost(const FakeCommands& started) : commands(started) {}
    void runInstaller() override { ++installerRuns; }
    void startServer() override { ++serverStarts; }
    void exitNow(int status) override { exitStatus = status, commandsBeforeExit = commands.calls.size(); }
};
