#include "LiveRunning.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>

namespace {

const std::regex& liveProgramName() {
    static const std::regex name(
        R"(Ableton Live( [0-9]+ (Suite|Standard|Intro|Lite|Trial|Beta))?\.exe)");
    return name;
}

bool isProcessFolder(const std::filesystem::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

LiveRunning::LiveRunning(std::string procRoot) : m_ProcRoot(std::move(procRoot)) {}

bool LiveRunning::isLiveProgram(const std::string& commandLineArgument) {
    const std::size_t separator = commandLineArgument.find_last_of("/\\");
    const std::string program =
        separator == std::string::npos ? commandLineArgument : commandLineArgument.substr(separator + 1);
    return std::regex_match(program, liveProgramName());
}

// Processes come and go while the table is read: a folder that vanishes or
// cannot be read is passed over, and nothing here throws.
bool LiveRunning::live_is_running() {
    try {
        std::error_code error;
        const std::filesystem::directory_iterator end;
        for (std::filesystem::directory_iterator entry(m_ProcRoot, error); !error && entry != end;
             entry.increment(error)) {
            if (!isProcessFolder(*entry)) continue;
            std::ifstream commandLine(entry->path() / "cmdline", std::ios::binary);
            std::string first;
            std::getline(commandLine, first, '\0');  // the first argument only
            if (isLiveProgram(first)) return true;
        }
    } catch (const std::exception&) {
        // no memory for a path: Live counts as not seen this time
    }
    return false;
}
