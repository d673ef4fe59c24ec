#pragma once

#include <string>

// corvilane-server's command line, read from one table: "-debug" as the first
// argument runs the server with a console; "--check" [--json] looks at the
// server that runs instead; "--help" and "--version" say what they say. Any
// other option is an error; words that are not options are left alone (the
// service runs, as it always did with them).
class ServerOptions {
public:
    enum class Mode { Service, Debug, Check, Help, Version, Error };

    Mode mode = Mode::Service;
    bool json = false;
    std::string error;  // the line that says what is wrong, for Mode::Error

    static ServerOptions parse(int argc, const char* const argv[]);

    static std::string usage();
    static std::string version();
    // "Try 'corvilane-server --help' for more information."
    static std::string hint();
};
