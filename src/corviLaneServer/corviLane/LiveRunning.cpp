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

bool LiveRunning::live_is_running() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(m_ProcRoot, error)) {
        if (!isProcessFolder(entry)) continue;
        std::ifstream commandLine(entry.path() / "cmdline", std::ios::binary);
        std::string first;
        std::getline(commandLine, first, '\0');  // the first argument only
        if (isLiveProgram(first)) return true;
    }
    return false;
}
