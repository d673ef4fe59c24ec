#include "PortHolder.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool isNumber(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// The process whose descriptors include the socket `inode`; 0 when none of
// those this user may look into does.
int owner(unsigned long inode) {
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    std::error_code error;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (!isNumber(pid)) continue;
        std::error_code denied;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", denied)) {
            char target[64];
            const ssize_t length = readlink(fd.path().c_str(), target, sizeof target - 1);
            if (length > 0 && wanted.compare(0, std::string::npos, target, static_cast<std::size_t>(length)) == 0) {
                return std::stoi(pid);
            }
        }
    }
    return 0;
}

}  // namespace

// Rows read "sl local_address rem_address st tx:rx tr:when retrnsmt uid
// timeout inode ...", the local address as hex "ADDRESS:PORT".
std::vector<unsigned long> socketInodes(std::string_view table, std::uint16_t port) {
    std::vector<unsigned long> inodes;
    std::istringstream rows{std::string(table)};
    std::string row;
    std::getline(rows, row);  // the heading
    while (std::getline(rows, row)) {
        std::istringstream fields(row);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode)) {
            continue;
        }
        const std::size_t colon = local.rfind(':');
        if (colon == std::string::npos) continue;
        unsigned bound = 0;
        if (std::sscanf(local.c_str() + colon + 1, "%x", &bound) == 1 && bound == port && inode != 0) {
            inodes.push_back(inode);
        }
    }
    return inodes;
}

CheckFacts::PortHolder udpPortHolder(std::uint16_t port) {
    CheckFacts::PortHolder holder;
    const std::string v4 = fileText("/proc/net/udp");
    if (v4.empty()) return holder;  // no /proc: could not tell
    std::vector<unsigned long> inodes = socketInodes(v4, port);
    const std::vector<unsigned long> v6 = socketInodes(fileText("/proc/net/udp6"), port);
    inodes.insert(inodes.end(), v6.begin(), v6.end());
    holder.busy = inodes.empty() ? Known::No : Known::Yes;
    for (const unsigned long inode : inodes) {
        holder.pid = owner(inode);
        if (holder.pid == 0) continue;
        std::string command = fileText("/proc/" + std::to_string(holder.pid) + "/comm");
        while (!command.empty() && command.back() == '\n') command.pop_back();
        holder.program = command;
        break;
    }
    return holder;
}
