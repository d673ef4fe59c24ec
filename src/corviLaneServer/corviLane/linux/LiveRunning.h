#pragma once

#include "Platform.h"

#include <string>

// Tells whether Ableton Live is running. On Linux Live runs under Wine; a
// process counts as Live when the file name of its program (the last part of
// its first command-line argument, after any '/' or '\') is exactly
// "Ableton Live <version> <edition>.exe" or "Ableton Live.exe", with <version>
// a number and <edition> one of Suite, Standard, Intro, Lite, Trial, Beta.
// Names that merely begin like these do not count.
class LiveRunning final : public LiveChecker {
public:
    // `procRoot` is where the process table is read (tests use a folder of their own).
    explicit LiveRunning(std::string procRoot = "/proc");

    bool live_is_running() override;

    static bool isLiveProgram(const std::string& commandLineArgument);

private:
    std::string m_ProcRoot;
};
