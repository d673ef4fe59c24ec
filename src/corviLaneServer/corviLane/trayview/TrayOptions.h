#pragma once

#include <QStringList>

#include <string>

// corvilane-tray's command line, read by Qt's parser before anything starts:
// "-afterinstall" and "-service" (one dash, as the user service and the
// installer pass them), Qt's own "-platform" and "-display", "--help" and
// "--version". Any other option is an error; other words are left alone
// (any argument makes the program run without registering its service).
class TrayOptions {
public:
    enum class Mode { Run, Help, Version, Error };

    Mode mode = Mode::Run;
    std::string text;  // the help, the version, or what is wrong

    static TrayOptions parse(const QStringList& arguments);
    // "Try 'corvilane-tray --help' for more information."
    static std::string hint();
};
