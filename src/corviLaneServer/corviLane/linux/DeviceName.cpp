#include "DeviceName.h"

#include "HostName.h"
#include "Logger.h"
#include "RegularFile.h"

#include <iconv.h>
#include <locale.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

namespace {

constexpr const char* kMachineInfo = "/etc/machine-info";
// A few lines of KEY=value; a file far larger is not machine-info.
constexpr std::size_t kMaxMachineInfoSize = 64 * 1024;

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

// Read as the settings file is: only a regular file of sane size, opened
// without waiting, so that a FIFO in its place never holds the start.
std::string prettyHostName(const std::string& machineInfoPath) {
    const RegularFile info = RegularFile::open(machineInfoPath);
    std::vector<std::uint8_t> bytes;
    if (!info.isOpen() || !info.readAll(bytes, kMaxMachineInfoSize)) {
        if (!info.missing()) {
            CLogger::warn("%s not read (%s): the computer's name is its host name", machineInfoPath.c_str(),
                          info.isOpen() ? "too large, or unreadable" : info.error().c_str());
        }
        return {};
    }
    std::istringstream file(std::string(bytes.begin(), bytes.end()));
    const std::string key = "PRETTY_HOSTNAME=";
    std::string line;
    std::string name;
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) == 0) name = unquote(line.substr(key.size()));
    }
    return name;
}

// The name in ASCII as iconv transliterates it in the C.UTF-8 locale: a
// letter with a mark keeps its base letter ("Zo\u00eb" gives "Zoe"), what has
// no ASCII form becomes '?', and a byte that is no UTF-8 is left out. Without
// that locale or converter the name stays as it is.
std::string transliterated(const std::string& name) {
    const std::unique_ptr<std::remove_pointer_t<locale_t>, decltype(&freelocale)> utf8(
        newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr), &freelocale);
    if (!utf8) return name;
    const locale_t previous = uselocale(utf8.get());
    const iconv_t converter = iconv_open("ASCII//TRANSLIT", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        uselocale(previous);
        return name;
    }
    std::string input = name;
    std::string output(input.size() * 4 + 16, '\0');
    char* in = input.data();
    std::size_t inLeft = input.size();
    char* out = output.data();
    std::size_t outLeft = output.size();
    while (inLeft > 0 && iconv(converter, &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) {
        if (errno != EILSEQ && errno != EINVAL) break;  // E2BIG: the rest is not worth a name
        ++in;  // not UTF-8: skipped
        --inLeft;
    }
    iconv_close(converter);
    uselocale(previous);
    output.resize(output.size() - outLeft);
    return output;
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
    std::string kept;
    for (const char c : transliterated(name)) {
        if (allowedInDeviceName(static_cast<unsigned char>(c))) kept += c;
    }
    return kept;
}
