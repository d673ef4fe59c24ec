#include "TabletsFile.h"

#include "RegularFile.h"
#include "UserFolders.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

constexpr std::size_t kLongestName = 64;
// A file of many tablets' lines is still small; anything larger is not ours.
constexpr std::size_t kLargestFile = 64 * 1024;

// Tabs and line ends would break the file's lines; no control character has
// a place in a name on a terminal.
std::string cleaned(const std::string& text) {
    std::string clean;
    for (const char c : text.substr(0, kLongestName)) clean += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    return clean;
}

}  // namespace

std::string TabletsFile::path() { return user_folders::runtime() + "/corvilane.tablets"; }

// usb, round trip, slow link, address, name: tab-separated, the name last.
std::string TabletsFile::line(const TabletStatus& tablet) {
    return std::string(tablet.usb ? "usb" : "wifi") + "\t" + std::to_string(tablet.roundTripMs) + "\t" +
           (tablet.slowLink ? "slow" : "ok") + "\t" + cleaned(tablet.address) + "\t" + cleaned(tablet.name);
}

bool TabletsFile::parse(const std::string& text, TabletStatus& tablet) {
    std::istringstream fields(text);
    std::string kind, roundTrip, link;
    if (!std::getline(fields, kind, '\t') || !std::getline(fields, roundTrip, '\t') ||
        !std::getline(fields, link, '\t') || !std::getline(fields, tablet.address, '\t')) {
        return false;
    }
    std::getline(fields, tablet.name);
    if ((kind != "usb" && kind != "wifi") || (link != "slow" && link != "ok")) return false;
    try {
        tablet.roundTripMs = std::stoi(roundTrip);
    } catch (const std::exception&) {
        return false;
    }
    tablet.usb = kind == "usb";
    tablet.slowLink = link == "slow";
    tablet.address = cleaned(tablet.address);
    tablet.name = cleaned(tablet.name);
    return true;
}

void TabletsFile::write(const std::vector<TabletStatus>& tablets) {
    const std::string target = path();
    const std::string fresh = target + ".new";
    {
        std::ofstream out(fresh, std::ios::trunc);
        for (const TabletStatus& tablet : tablets) out << line(tablet) << '\n';
        if (!out) return;
    }
    std::rename(fresh.c_str(), target.c_str());
}

void TabletsFile::remove() { ::unlink(path().c_str()); }

std::vector<TabletStatus> TabletsFile::read() {
    std::vector<TabletStatus> tablets;
    const RegularFile file = RegularFile::open(path());
    std::vector<std::uint8_t> bytes;
    if (!file.isOpen() || !file.readAll(bytes, kLargestFile)) return tablets;
    std::istringstream lines(std::string(bytes.begin(), bytes.end()));
    for (std::string text; std::getline(lines, text);) {
        TabletStatus tablet;
        if (parse(text, tablet)) tablets.push_back(tablet);
    }
    return tablets;
}
