#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Runs the system's tools (a firewall's command line, systemctl) to ask what
// only they can tell: each found on PATH or in /usr/sbin and /sbin, with its
// standard input empty, its error output dropped, the C locale (so that its
// words are the ones read), a clean signal mask and default signal
// dispositions, in a process group of its own.
struct ProgramRun {
    using Deadline = std::chrono::steady_clock::time_point;

    struct Result {
        int status = 0;
        std::string output;
    };

    // Runs every command at once and collects what each prints until the
    // deadline; a tool still running then is killed with its process group.
    // For each command its exit status and standard output, or nothing when
    // it could not start, was killed, or ran past the deadline.
    static std::vector<std::optional<Result>> runAll(const std::vector<std::vector<std::string>>& commands,
                                                     Deadline deadline);

    // The program's path, looked for on PATH, then in /usr/sbin and /sbin
    // (where a user's PATH often does not look); empty when it is nowhere.
    static std::string find(const std::string& program);

    // Kills every tool still running, with its process group, waiting a
    // moment for one being started. Safe in a signal handler on a thread that
    // starts no tool: a check that is stopped leaves no tool behind.
    static void killAll();
};
