#include "DeviceName.h"

#include "HostName.h"

#include <cstring>
#include <fstream>

namespace {

constexpr const char* kMachineInfo = "/etc/machine-info";

// The value of a machine-info line as the shell would read it: quotes removed,
// backslash escapes resolved inside double quotes and outside quotes.
std::string unquote(const std::string& raw) {
    std::string value;
    char quote = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else if (c == quote) {
            quote = 0;
        } else if (c == '\\' && quote != '\'' && i + 1 < raw.size()) {
            value += raw[++i];
        } else {
            value += c;
        }
    }
    return value;
}

std::string prettyHostName(const std::string& machineInfoPath) {
    std::ifstream file(machineInfoPath);
    const std::string key = "PRETTY_HOSTNAME=";
    std::string line;
    std::string name;
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) == 0) name = unquote(line.substr(key.size()));
    }
    return name;
}

bool allowedInDeviceName(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr(" _-.!'", c) != nullptr;
}

}  // namespace

std::string get_device_name() { return get_device_name(kMachineInfo); }

std::string get_device_name(const std::string& machineInfoPath) {
    std::string name = prettyHostName(machineInfoPath);
    if (name.empty()) name = hostName();
    // Bytes outside ASCII (the parts of UTF-8 characters) fail the filter too.
    std::string kept;
    for (const char c : name) {
        if (allowedInDeviceName(static_cast<unsigned char>(c))) kept += c;
    }
    return kept;
}
