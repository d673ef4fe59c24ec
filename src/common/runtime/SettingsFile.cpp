#include "SettingsFile.h"

#include "Logger.h"
#include "RegularFile.h"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <vector>

namespace {

// Blanks, carriage returns and line feeds are trimmed around keys and values;
// tabs are not.
constexpr const char* kTrimmed = " \r\n";
// Far more than a file of settings ever holds.
constexpr std::size_t kMaxFileSize = 1 << 20;

}  // namespace

// Only a regular file of sane size is read: a FIFO would block the start for
// ever, and a link to a device could be read without end. A missing file is
// the usual case and goes unmentioned; any other file not read is logged.
SettingsFile::SettingsFile(const char* path) {
    if (path == nullptr) return;
    const RegularFile file = RegularFile::open(path);
    std::vector<std::uint8_t> bytes;
    if (!file.isOpen()) {
        if (!file.missing()) CLogger::warn("Settings file %s not read: %s", path, file.error().c_str());
        return;
    }
    if (!file.readAll(bytes, kMaxFileSize)) {
        CLogger::warn("Settings file %s not read: larger than %zu bytes, or unreadable", path, kMaxFileSize);
        return;
    }
    const std::string text(bytes.begin(), bytes.end());
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        parseLine(text.substr(begin, end - begin));
        begin = end + 1;
    }
}

SettingsFile::~SettingsFile() = default;

void SettingsFile::parseLine(const std::string& line) {
    if (line.empty() || line[0] == '#' || line[0] == ';') return;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) return;

    std::string key = line.substr(0, equals);
    key.erase(key.find_last_not_of(kTrimmed) + 1);

    const std::size_t valueStart = line.find_first_not_of(kTrimmed, equals + 1);
    // A key with nothing after its '=' is treated as unset, so lookups keep
    // their default instead of silently reading 0.
    if (valueStart == std::string::npos) return;
    std::string value = line.substr(valueStart);
    value.erase(value.find_last_not_of(kTrimmed) + 1);

    m_Values[key] = value;
}

int SettingsFile::getIntVal(const char* key, int defaultValue) const {
    if (key == nullptr) return defaultValue;
    const auto found = m_Values.find(key);
    if (found == m_Values.end()) return defaultValue;
    // atoi's reading (blanks, sign, leading digits), clamped instead of
    // overflowing when the number does not fit an int.
    const long value = std::strtol(found->second.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int SettingsFile::getIntInRange(const char* key, int defaultValue, int low, int high, OutOfRange outside) const {
    const auto found = key != nullptr ? m_Values.find(key) : m_Values.end();
    if (found == m_Values.end()) return defaultValue;
    const std::string& text = found->second;
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::invalid_argument || end != text.data() + text.size()) {
        CLogger::warn("Settings: %s=%s is not a whole number: using %d", key, text.c_str(), defaultValue);
        return defaultValue;
    }
    if (error == std::errc::result_out_of_range || value < low || value > high) {
        const int nearest = text[0] == '-' || value < low ? low : high;
        const int taken = outside == OutOfRange::Nearest ? nearest : defaultValue;
        CLogger::warn("Settings: %s=%s is outside %d to %d: using %d", key, text.c_str(), low, high, taken);
        return taken;
    }
    return static_cast<int>(value);
}

std::string SettingsFile::getStringVal(const char* key, const std::string& defaultValue) const {
    if (key == nullptr) return defaultValue;
    const auto found = m_Values.find(key);
    return found == m_Values.end() ? defaultValue : found->second;
}
