#pragma once

#include <cstddef>
#include <optional>
#include <string>

// A Live version text split by the first-dot rule: "10.1.25" reads as 10, 1,
// 25; a missing part repeats what is left ("9.7" reads as 9, 7, 7 and "10" as
// 10, 10, 10). Each part counts its leading digits, like atoi.
struct LiveVersion {
    std::string majorText, subText, minorText;
    int major = 0, sub = 0, minor = 0;

    static LiveVersion parse(const std::string& text);
    // Only logged: major x 100 + sub x 10 + minor.
    long long combined() const;
    // Live before 8.4, and Live 9 before 9.6.5 unless its sub version is 7 or more.
    bool outdated() const;
};

// atoi without its undefined overflow: leading blanks, a sign, then digits;
// saturates at the limits of int; 0 when there are no digits.
int leadingInt(const std::string& text);

// "CFBundleShortVersionString" of an Info.plist (XML or binary), when it is
// text; nothing for a plist nested too deep for libplist to parse safely.
std::optional<std::string> bundleVersion(const std::string& infoPlist);

// The product version "major.minor.patch" of a Windows executable's fixed
// version block (VS_FIXEDFILEINFO behind the "VS_VERSION_INFO" key), when
// `data` holds one whole.
std::optional<std::string> productVersion(const char* data, std::size_t size);

// How far a version block reaches past the start of its key; a scan of a file
// in pieces overlaps them by this much so that no block is cut.
constexpr std::size_t kVersionBlockReach = 64;
