#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Runs a program found on PATH with its arguments, its standard input empty
// and its error output dropped, and collects what it prints: for asking the
// system's tools (a firewall's command line) what only they can tell.
struct ProgramRun {
    // The exit status and standard output; nothing when the program could not
    // start, was killed, or ran past `timeout` (it is then killed).
    struct Result {
        int status = 0;
        std::string output;
    };
    static std::optional<Result> run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);
};
