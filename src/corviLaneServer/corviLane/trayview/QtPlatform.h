#pragma once

#include "FrontendPorts.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

class QWidget;

// The ports of the tray program on Qt.

// Programs through QProcess; those without a completion handler are detached.
class QtCommandRunner : public CommandRunner {
public:
    void run(const std::vector<std::string>& argv, std::function<void(int status)> finished) override;
};

// QSettings in the user's configuration folder
// (~/.config/corviLane/corviLane.conf), read only when it is a regular file
// of sane size, as every file read at start-up is: QSettings would wait for
// ever on a FIFO in its place. Otherwise the program says so once and keeps
// its settings in a private folder of its own until it ends.
class QtSettingsStore : public SettingsStore {
public:
    QtSettingsStore();
    std::optional<std::string> value(const std::string& key) const override;
    void setValue(const std::string& key, const std::string& value) override;
    void sync() override { m_Settings.sync(); }

private:
    QString usableFile();

    std::unique_ptr<QTemporaryDir> m_Aside;  // only when the user's file is unusable
    QSettings m_Settings;
};

// Message boxes over `parent` (which may be null). Every text is shown as
// plain text: paths and version texts come from the disk.
class QtAlerts : public Alerts {
public:
    explicit QtAlerts(QWidget* parent = nullptr) : m_Parent(parent) {}
    void attachTo(QWidget* parent) { m_Parent = parent; }
    void warningSheet(const std::string& message, const std::string& informative,
                      const std::string& button) override;
    void inform(const std::string& message, const std::string& informative, const std::string& button) override;
    void error(const std::string& description) override;

private:
    QWidget* m_Parent;
};

class QtFilePicker : public FilePicker {
public:
    explicit QtFilePicker(QWidget* parent = nullptr) : m_Parent(parent) {}
    void attachTo(QWidget* parent) { m_Parent = parent; }
    std::optional<std::string> chooseLive() override;
    // Asks whether the script came as a folder or a .zip, then for either.
    std::optional<std::string> chooseScripts() override;

private:
    QWidget* m_Parent;
};

// Standard error: the terminal, or the journal under systemd.
class StandardErrorConsole : public ConsoleLog {
public:
    void line(const std::string& text) override;
};
