// The computer's name as tablets on the cable are told it.
#include "DeviceName.h"

#include "Console.h"
#include "TempDir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

TEST(DeviceNameTest, LettersKeepTheirBaseLetterAndOnlyPlainCharactersStay) {
    TempDir dir;
    for (const auto& [info, name] : std::vector<std::pair<std::string, std::string>>{
             {"PRETTY_HOSTNAME=\"My Mac (2)\"", "My Mac 2"}, {"PRETTY_HOSTNAME=\"(\xE2\x99\xAA)\"", ""},
             {"ICON_NAME=pc\nPRETTY_HOSTNAME='Zo\xC3\xAB'\\''s Studio!'\n", "Zoe's Studio!"},
             {"PRETTY_HOSTNAME=\xC3\x86r\xC3\xB8sk\xC3\xB8" "bing \xC5\x81\xC3\xB3" "d\xC5\xBA", "AEroskobing Lodz"},
             {"PRETTY_HOSTNAME=Bad\xFF\xC3 Byte", "Bad Byte"},
             {"PRETTY_HOSTNAME=\"Anna\\\"s_PC-1.0\"", "Annas_PC-1.0"}, {"", get_device_name(dir.file("none"))}}) {
        writeFile(dir.file("machine-info"), info);
        EXPECT_EQ(get_device_name(dir.file("machine-info")), name) << info;
    }
    EXPECT_FALSE(get_device_name(dir.file("none")).empty());  // the host name
    // A FIFO in its place is not waited on: the host name serves.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const Console::Capture quiet;  // the warning goes to the log, of which this test has none
    EXPECT_EQ(get_device_name(dir.file("fifo")), get_device_name(dir.file("none")));
}

}  // namespace
