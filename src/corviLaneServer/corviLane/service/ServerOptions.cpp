#include "ServerOptions.h"

#include <array>
#include <string_view>

namespace {

constexpr const char* kProgram = "corvilane-server";

enum class Flag { Debug, Check, Json, Help, Version };

struct Option {
    std::string_view name;
    Flag flag;
};

constexpr std::array<Option, 7> kOptions{{
    {"-debug", Flag::Debug},
    {"--check", Flag::Check},
    {"--json", Flag::Json},
    {"--help", Flag::Help},
    {"-h", Flag::Help},
    {"--version", Flag::Version},
    {"-V", Flag::Version},
}};

const Option* find(std::string_view argument) {
    for (const Option& option : kOptions) {
        if (option.name == argument) return &option;
    }
    return nullptr;
}

}  // namespace

ServerOptions ServerOptions::parse(int argc, const char* const argv[]) {
    ServerOptions options;
    bool check = false;
    bool help = false;
    bool shown = false;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const std::string_view argument = argv[i];
        if (argument.size() < 2 || argument[0] != '-') continue;  // a word: left alone
        const Option* option = find(argument);
        if (option == nullptr) {
            options.mode = Mode::Error;
            options.error = std::string(kProgram) + ": unrecognized option '" + std::string(argument) + "'";
            return options;
        }
        // Debug mode is asked for by the first argument only.
        if (option->flag == Flag::Debug && i == 1) options.mode = Mode::Debug;
        check |= option->flag == Flag::Check;
        options.json |= option->flag == Flag::Json;
        help |= option->flag == Flag::Help;
        shown |= option->flag == Flag::Version;
    }
    if (help) {
        options.mode = Mode::Help;
    } else if (shown) {
        options.mode = Mode::Version;
    } else if (check) {
        options.mode = Mode::Check;
    } else if (options.json) {
        options.mode = Mode::Error;
        options.error = std::string(kProgram) + ": --json goes with --check";
    }
    return options;
}

std::string ServerOptions::usage() {
    return "Usage: corvilane-server [-debug]\n"
           "  or:  corvilane-server --check [--json]\n"
           "Joins the tablets' control-surface app (Wi-Fi and USB) and the corviLane script in\n"
           "Ableton Live, and relays their messages both ways.\n"
           "\n"
           "  -debug          run with a console: type \"quit\" (or end the input) to stop;\n"
           "                  the log is corvilane-server-debug.log\n"
           "      --check     say whether tablets can reach this computer, and what\n"
           "                  stands in their way, with the command that fixes it\n"
           "      --json      with --check: the findings as JSON\n"
           "  -h, --help      show this help and exit\n"
           "  -V, --version   show the version and exit\n"
           "\n"
           "Without -debug the server runs as a service until SIGTERM, SIGQUIT or SIGINT\n"
           "(Ctrl-C), and says on standard error where tablets reach it. It keeps its log\n"
           "(corvilane-server.log) and its settings (corvilane-server.conf) in the folder\n"
           "it is started from. One copy runs per user.\n"
           "\n"
           "Exit status: 0 after an orderly stop (--check: tablets can reach this computer),\n"
           "1 when corviLane already runs for this user (--check: something stands in the\n"
           "tablets' way), 2 for a wrong command line.\n"
           "\n"
           "See also: corvilane-tray(1), corvilane-waveform(1).\n";
}

std::string ServerOptions::version() { return std::string(kProgram) + " (corviLane) " CORVILANE_VERSION "\n"; }

std::string ServerOptions::hint() {
    return std::string("Try '") + kProgram + " --help' for more information.";
}
