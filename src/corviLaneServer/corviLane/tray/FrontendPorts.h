#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The platform operations the tray program's logic needs, each behind a small
// interface: the Qt program implements them, tests pass fakes.

// Starts external programs without waiting for them.
class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // Runs argv[0] (looked up on PATH) with the rest as its arguments. When
    // `finished` is given it is called on the main thread once the program has
    // ended, with its exit status (-1 when it could not start or crashed).
    virtual void run(const std::vector<std::string>& argv,
                     std::function<void(int status)> finished = {}) = 0;
};

// Per-user persistent string values.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual std::optional<std::string> value(const std::string& key) const = 0;
    virtual void setValue(const std::string& key, const std::string& value) = 0;
    // Writes the values through to their storage.
    virtual void sync() = 0;
};

// The few file operations the installer needs.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Names of the entries of `folder`, sorted; empty when it cannot be read.
    virtual std::vector<std::string> list(const std::string& folder) const = 0;
    virtual bool exists(const std::string& path) const = 0;
    // Up to `length` bytes from `offset`; nothing when the file cannot be
    // read. Shorter (possibly empty) at the end of the file.
    virtual std::optional<std::string> read(const std::string& path, std::uint64_t offset,
                                            std::size_t length) const = 0;
    // Remove `path` with everything inside / copy folder `from` with
    // everything inside to `to`. Each returns an empty text on success, else
    // the error's description for the user.
    virtual std::string removeAll(const std::string& path) = 0;
    virtual std::string copyAll(const std::string& from, const std::string& to) = 0;
    // Whether `path` itself is a symbolic link (not followed).
    virtual bool isSymlink(const std::string& path) const = 0;
    // Puts `from` in the place of `to` in one step, as far as the file system
    // allows; `to` may be missing. What `to` held is left at `from` (nothing
    // when `to` was missing). Returns an empty text on success, else the
    // error's description for the user; on failure `to` is as it was.
    virtual std::string replace(const std::string& from, const std::string& to) = 0;
    // The names of the entries of the zip archive `archive` (folders end with
    // "/") into `names`. Returns an empty text when the archive could be read
    // and every entry is one unpack() would write, else why not.
    virtual std::string listArchive(const std::string& archive, std::vector<std::string>& names) const = 0;
    // Writes the entries of `archive` below its folder `folder` (ending with
    // "/") into the new folder `to`, never outside it. Returns an empty text
    // on success, else the error's description for the user.
    virtual std::string unpack(const std::string& archive, const std::string& folder, const std::string& to) = 0;
};

// Messages to the user.
class Alerts {
public:
    virtual ~Alerts() = default;
    // A warning attached to the installer window; returns at once.
    virtual void warningSheet(const std::string& message, const std::string& informative,
                              const std::string& button) = 0;
    // A modal message; returns when dismissed.
    virtual void inform(const std::string& message, const std::string& informative,
                        const std::string& button) = 0;
    // A modal error alert showing the error's description.
    virtual void error(const std::string& description) = 0;
};

// Lets the user choose a copy of Live (an application bundle or a Live
// folder) and the Live script to install.
class FilePicker {
public:
    virtual ~FilePicker() = default;
    // The chosen path, or nothing when the user cancelled.
    virtual std::optional<std::string> chooseLive() = 0;
    // The Live script as it came with the tablet app: a folder holding
    // "corviLanePro" (or one of the script folders itself), or a .zip of it.
    // A picker that cannot ask the user chooses nothing.
    virtual std::optional<std::string> chooseScripts() { return std::nullopt; }
};

// The front end's own start-up and diagnostic lines (not the server's log).
class ConsoleLog {
public:
    virtual ~ConsoleLog() = default;
    virtual void line(const std::string& text) = 0;
};

// What the status menu reads from and writes to the running server.
class ServerStatus {
public:
    virtual ~ServerStatus() = default;
    // Whether the Live script answered a ping within the last 10 s, by the
    // script connection's own test (which also records the answer).
    virtual bool scriptResponding() = 0;
    virtual std::size_t usbSessionCount() const = 0;
    virtual std::size_t wifiSessionCount() const = 0;
    // Sessions the tablets have confirmed, USB and Wi-Fi together.
    virtual std::size_t connectedSessionCount() const = 0;
    // One line for each of those tablets, Wi-Fi first: its name, how it is
    // attached and how fast it answers.
    virtual std::vector<std::string> tabletLines() const = 0;
    virtual bool studioMode() const = 0;
    virtual void setStudioMode(bool on) = 0;
};

// What the application delegate asks of the program around it.
class AppHost {
public:
    virtual ~AppHost() = default;
    // Opens the Live script installer and returns when it has closed.
    virtual void runInstaller() = 0;
    // Runs the server (service mode) on a thread of its own.
    virtual void startServer() = 0;
    // Ends the process at once with `status`; the server is not stopped first.
    virtual void exitNow(int status) = 0;
};
