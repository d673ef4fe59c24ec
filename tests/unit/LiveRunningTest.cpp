#include "LiveRunning.h"

#include "TempDir.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

TEST(LiveRunningTest, OnlyLivesOwnProgramNamesCount) {
    EXPECT_TRUE(LiveRunning::isLiveProgram("C:\\ProgramData\\Ableton\\Live 12 Suite\\Program\\Ableton Live 12 Suite.exe"));
    EXPECT_TRUE(LiveRunning::isLiveProgram("/home/me/.wine/drive_c/Ableton Live 11 Lite.exe"));
    EXPECT_TRUE(LiveRunning::isLiveProgram("Ableton Live.exe"));
    EXPECT_FALSE(LiveRunning::isLiveProgram("Ableton Live 12 Suite.exe.bak"));
    EXPECT_FALSE(LiveRunning::isLiveProgram("Ableton Live 12 Suite Helper.exe"));
    EXPECT_FALSE(LiveRunning::isLiveProgram("Ableton Live Index.exe"));
    EXPECT_FALSE(LiveRunning::isLiveProgram("ableton live.exe"));
    EXPECT_FALSE(LiveRunning::isLiveProgram(""));
}

TEST(LiveRunningTest, ReadsTheFirstArgumentOfEveryProcess) {
    TempDir proc;
    auto process = [&](const std::string& pid, const std::string& commandLine) {
        std::filesystem::create_directories(proc.path() / pid);
        writeFile(proc.file(pid + "/cmdline"), commandLine);
    };
    process("1", "/sbin/init\0"s);
    process("self", "Ableton Live.exe\0"s);  // not a process number
    process("42", "wine\0Ableton Live 12 Suite.exe\0"s);  // Live as an argument only
    LiveRunning checker(proc.path().string());
    EXPECT_FALSE(checker.live_is_running());
    process("77", "C:\\Live\\Ableton Live 12 Suite.exe\0-x\0"s);
    EXPECT_TRUE(checker.live_is_running());
    EXPECT_FALSE(LiveRunning(proc.file("missing")).live_is_running());
}

}  // namespace
