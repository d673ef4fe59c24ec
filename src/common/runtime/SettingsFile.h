#pragma once

#include <map>
#include <string>

// Key=value configuration read once from a text file. Lines that are empty,
// start with '#' or ';', have no '=' or start with '=' are skipped; keys are
// case-sensitive and the last line for a key wins.
class SettingsFile {
public:
    // A file that cannot be opened leaves the settings empty.
    explicit SettingsFile(const char* path);
    ~SettingsFile();

    // The value for key converted as atoi does, or defaultValue when unset.
    int getIntVal(const char* key, int defaultValue) const;
    // What a number outside the range gives.
    enum class OutOfRange { Nearest, Default };
    // The value for key as a whole decimal number within [low, high]: unset
    // gives defaultValue; a value that is no such number (abc, 0x40, 1e3)
    // gives defaultValue, one outside the range the nearest bound (or the
    // default), each with one warning naming the key.
    int getIntInRange(const char* key, int defaultValue, int low, int high,
                      OutOfRange outside = OutOfRange::Nearest) const;
    // The value's text, or defaultValue when unset.
    std::string getStringVal(const char* key, const std::string& defaultValue) const;

private:
    void parseLine(const std::string& line);

    std::map<std::string, std::string> m_Values;
};
