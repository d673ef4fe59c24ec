#include "SettingsFile.h"

#include "Logger.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>

namespace {

constexpr int kUnset = -99;

class SettingsFileTest : public ::testing::Test {
protected:
    SettingsFile read(const std::string& content) {
        writeFile(m_Dir.file("corvilane-server.conf"), content);
        return SettingsFile(m_Dir.file("corvilane-server.conf").c_str());
    }
    TempDir m_Dir;
};

TEST_F(SettingsFileTest, ReadsKeysAndValuesAsTheLinesGiveThem) {
    const SettingsFile settings = read(
        "debug.bonjour_inverse=1\n"
        "# comment=5\n"
        "; other=6\n"
        "=1\n"
        "no equals sign\n"
        "\n"
        "a=b=c\n"
        "  spaced = 7  \n"
        "padded   =   8   \r\n"
        " =9\n"
        "last line=10");
    EXPECT_EQ(settings.getIntVal("debug.bonjour_inverse", kUnset), 1);
    EXPECT_EQ(settings.getIntVal("# comment", kUnset), kUnset);
    EXPECT_EQ(settings.getIntVal("; other", kUnset), kUnset);
    EXPECT_EQ(settings.getIntVal("no equals sign", kUnset), kUnset);
    EXPECT_EQ(settings.getIntVal("a", kUnset), 0);  // "b=c" has no leading digits
    EXPECT_EQ(settings.getIntVal("  spaced", kUnset), 7);
    EXPECT_EQ(settings.getIntVal("spaced", kUnset), kUnset);  // leading blanks stay in the key
    EXPECT_EQ(settings.getIntVal("padded", kUnset), 8);
    EXPECT_EQ(settings.getIntVal("", kUnset), 9);  // only blanks before '=': the empty key
    EXPECT_EQ(settings.getIntVal("last line", kUnset), 10);  // no final line feed
}

TEST_F(SettingsFileTest, CarriageReturnLineFeedReadsLikeLineFeed) {
    const SettingsFile crlf = read("debug.bonjour_inverse = 1\r\nx=2\r\n");
    const SettingsFile lf = read("debug.bonjour_inverse = 1\nx=2\n");
    for (const char* key : {"debug.bonjour_inverse", "x"}) {
        EXPECT_EQ(crlf.getIntVal(key, kUnset), lf.getIntVal(key, kUnset)) << key;
    }
    EXPECT_EQ(crlf.getIntVal("x", kUnset), 2);
}

TEST_F(SettingsFileTest, TabsAreNeverTrimmed) {
    const SettingsFile settings = read("key\t=1\nother=\t5\n");
    EXPECT_EQ(settings.getIntVal("key", kUnset), kUnset);
    EXPECT_EQ(settings.getIntVal("key\t", kUnset), 1);
    EXPECT_EQ(settings.getIntVal("other", kUnset), 5);  // atoi skips the leading tab
}

TEST_F(SettingsFileTest, ValuesConvertLikeAtoi) {
    const SettingsFile settings =
        read("digits=12abc\nletters=abc\nnegative=-3\nplus=+4\nhuge=99999999999\ntiny=-99999999999\n");
    EXPECT_EQ(settings.getIntVal("digits", kUnset), 12);
    EXPECT_EQ(settings.getIntVal("letters", kUnset), 0);
    EXPECT_EQ(settings.getIntVal("negative", kUnset), -3);
    EXPECT_EQ(settings.getIntVal("plus", kUnset), 4);
    EXPECT_EQ(settings.getIntVal("huge", kUnset), INT_MAX);  // clamped, never undefined
    EXPECT_EQ(settings.getIntVal("tiny", kUnset), INT_MIN);
}

// Caps and ports: what is no whole number gives the default, what is out of
// range the nearest bound (or the default), each with a warning naming it.
TEST_F(SettingsFileTest, NumbersInARangeFallBackWithAWarningNamingTheKey) {
    const struct {
        std::string value;
        int expected;
        SettingsFile::OutOfRange outside = SettingsFile::OutOfRange::Nearest;
    } cases[] = {
        {"40", 40}, {"abc", 32}, {"eight", 32}, {"0x40", 32}, {"1e3", 32}, {"12abc", 32}, {"0", 1}, {"-5", 1},
        {"256", 256}, {"99999999999999", 256}, {"-99999999999999", 1},
        {"70000", 32, SettingsFile::OutOfRange::Default},
    };
    CLogger::init(m_Dir.file("test.log").c_str(), 2048);
    for (const auto& c : cases) {
        const SettingsFile settings = read("wifi.max_sessions=" + c.value + "\n");
        EXPECT_EQ(settings.getIntInRange("wifi.max_sessions", 32, 1, 256, c.outside), c.expected) << c.value;
    }
    EXPECT_EQ(read("").getIntInRange("wifi.max_sessions", 32, 1, 256), 32);
    CLogger::finish();
    const std::string log = readFile(m_Dir.file("test.log"));
    std::size_t warnings = 0;
    for (auto at = log.find(" WARN Settings: wifi.max_sessions="); at != std::string::npos; at = log.find(" WARN", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, std::size(cases) - 2) << log;
}

TEST_F(SettingsFileTest, LastLineForAKeyWinsAndKeysAreCaseSensitive) {
    const SettingsFile settings = read("key=1\nKey=2\nkey=3\n");
    EXPECT_EQ(settings.getIntVal("key", kUnset), 3);
    EXPECT_EQ(settings.getIntVal("Key", kUnset), 2);
    EXPECT_EQ(settings.getIntVal("KEY", kUnset), kUnset);
}

TEST_F(SettingsFileTest, KeyWithNothingAfterItsEqualsSignIsUnsetAndReadingGoesOn) {
    const SettingsFile settings = read("empty=\nblank=  \r\nafter=5\n");
    EXPECT_EQ(settings.getIntVal("empty", kUnset), kUnset);
    EXPECT_EQ(settings.getIntVal("blank", kUnset), kUnset);
    EXPECT_EQ(settings.getIntVal("after", kUnset), 5);
}

// Nothing at the path, a FIFO (which would block for ever), a link to an
// endless device, a file far larger than any settings: all give defaults, at once.
TEST_F(SettingsFileTest, OnlyARegularFileOfSaneSizeIsRead) {
    const std::string path = m_Dir.file("corvilane-server.conf");
    const std::vector<std::function<void()>> makers{
        [] {},
        [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
        [&] { std::filesystem::create_symlink("/dev/zero", path); },
        [&] { writeFile(path, "debug.bonjour_inverse=1\n" + std::string(2 << 20, '#')); },
    };
    for (std::size_t i = 0; i < makers.size(); ++i) {
        std::filesystem::remove(path);
        makers[i]();
        const SettingsFile settings(path.c_str());
        EXPECT_EQ(settings.getIntVal("debug.bonjour_inverse", 4), 4) << i;
    }
}

}  // namespace
