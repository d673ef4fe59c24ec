#include "TrayOptions.h"

#include <QCommandLineParser>

namespace {

constexpr const char* kProgram = "corvilane-tray";

const char* const kDescription =
    "Runs the corviLane server with a status icon in the system tray (or a status\n"
    "window where there is no tray) and installs the corviLane script into Ableton\n"
    "Live.\n"
    "\n"
    "Without arguments it enables and starts its user service, corvilane.service,\n"
    "which runs it with -service from then on; should systemctl fail, it runs the\n"
    "server itself. One copy runs per user. Its log and settings are in\n"
    "$XDG_STATE_HOME/corvilane (else ~/.local/state/corvilane). Its own options\n"
    "take one dash or two: -service is --service.\n"
    "\n"
    "Exit status: 0 after Quit or SIGTERM, 1 when corviLane already runs for this\n"
    "user or the display went away, 2 for a wrong command line.";

}  // namespace

TrayOptions TrayOptions::parse(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version({"V", "version"}, "Show the version and exit.");
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption({"service", "Run as the user service: the server, without registering."});
    parser.addOption({"afterinstall", "Open the Live script installer first, then register."});
    parser.addOption({"platform", "Qt's display platform (xcb, wayland, offscreen).", "name"});
    parser.addOption({"display", "The X display to use.", "display"});
    parser.addPositionalArgument("[word...]", "Any word: run without registering, as -service does.");

    TrayOptions options;
    if (!parser.parse(arguments)) {
        options.mode = Mode::Error;
        options.text = std::string(kProgram) + ": " + parser.errorText().toStdString();
    } else if (parser.isSet(help)) {
        options.mode = Mode::Help;
        // Without an application object Qt cannot know the program's name.
        options.text = parser.helpText().replace("<executable_name>", kProgram).toStdString();
    } else if (parser.isSet(version)) {
        options.mode = Mode::Version;
        options.text = std::string(kProgram) + " (corviLane) " CORVILANE_VERSION "\n";
    }
    return options;
}

std::string TrayOptions::hint() { return std::string("Try '") + kProgram + " --help' for more information."; }
