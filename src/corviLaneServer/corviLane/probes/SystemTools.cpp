#include "SystemTools.h"

#include "RegularFile.h"
#include "UfwStatus.h"

#include <unistd.h>

#include <optional>

namespace {

constexpr std::size_t kMaxConfigSize = 1 << 20;
constexpr const char* kUfwConfig = "/etc/ufw/ufw.conf";
constexpr const char* kUfwBeforeRules = "/etc/ufw/before.rules";
constexpr const char* kUnits[] = {"corvilane.service", "corvilane-server.service"};

// A configuration file, read only when it is a regular file of sane size.
std::string configText(const char* path) {
    const RegularFile file = RegularFile::open(path);
    std::vector<std::uint8_t> bytes;
    if (!file.readAll(bytes, kMaxConfigSize)) return {};
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

// ufw keeps "ENABLED=yes" in a file anyone may read; its rules only root can.
Known ufwEnabled() {
    for (const std::string& line : linesOf(configText(kUfwConfig))) {
        if (line.rfind("ENABLED=", 0) == 0) return line.find("yes") != std::string::npos ? Known::Yes : Known::No;
    }
    return Known::Unknown;
}

// Debian's before.rules, which run ahead of every rule, accept multicast
// mDNS; a machine whose rules were edited may not.
bool ufwAdmitsMdns() {
    for (const std::string& line : linesOf(configText(kUfwBeforeRules))) {
        if (line.rfind("-A ufw-before-input", 0) == 0 && line.find("--dport 5353") != std::string::npos &&
            line.find("-j ACCEPT") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The commands asked at once, and where each tool's answers are among them.
class Commands {
public:
    std::size_t add(std::vector<std::string> command) {
        m_List.push_back(std::move(command));
        return m_List.size() - 1;
    }
    const std::vector<std::vector<std::string>>& list() const { return m_List; }

private:
    std::vector<std::vector<std::string>> m_List;
};

using Results = std::vector<std::optional<ProgramRun::Result>>;

CheckFacts::Firewall readUfw(const std::optional<ProgramRun::Result>& status, bool asked, std::uint16_t port,
                             std::uint16_t defaultPort) {
    CheckFacts::Firewall firewall{.name = "ufw", .active = ufwEnabled()};
    if (!asked) {
        if (firewall.active == Known::Yes) {
            firewall.why = "its rules are readable by root only: sudo ufw status verbose shows them";
        }
        return firewall;
    }
    if (!status) {
        firewall.why = "ufw status did not answer in time";
        return firewall;
    }
    const UfwQuestion question{.port = port,
                               .profile = "corviLane",
                               .profilePorts = {{defaultPort, "tcp"}, {5353, "udp"}},
                               .mdnsAdmitted = ufwAdmitsMdns()};
    const UfwAnswer answer = readUfwStatus(status->output, question);
    if (answer.active != Known::Unknown) firewall.active = answer.active;
    firewall.port = answer.port;
    firewall.mdns = answer.mdns;
    firewall.allows = answer.port == Known::No || answer.mdns == Known::No     ? Known::No
                      : answer.port == Known::Yes && answer.mdns == Known::Yes ? Known::Yes
                                                                               : Known::Unknown;
    firewall.deniedByRule = answer.deniedByRule;
    firewall.why = answer.why;
    return firewall;
}

// firewall-cmd answers state and queries to anyone; 0 is yes, 1 no.
Known firewalldSays(const std::optional<ProgramRun::Result>& result) {
    if (!result) return Known::Unknown;
    return result->status == 0 ? Known::Yes : result->status == 1 ? Known::No : Known::Unknown;
}

struct FirewalldAsked {
    std::size_t state, service, port, mdns;
};

CheckFacts::Firewall readFirewalld(const Results& results, const FirewalldAsked& asked) {
    CheckFacts::Firewall firewall{.name = "firewalld"};
    const std::optional<ProgramRun::Result>& state = results[asked.state];
    if (!state) {
        firewall.why = "firewall-cmd did not answer in time";
        return firewall;
    }
    firewall.active = state->status == 0 ? Known::Yes : Known::No;
    if (firewall.active != Known::Yes) return firewall;
    const Known service = firewalldSays(results[asked.service]);
    const Known open = service == Known::Yes ? service : firewalldSays(results[asked.port]);
    firewall.port = open;
    firewall.mdns = service == Known::Yes ? service : firewalldSays(results[asked.mdns]);
    firewall.allows = open == Known::Yes && firewall.mdns == Known::Yes   ? Known::Yes
                      : open == Known::No || firewall.mdns == Known::No ? Known::No
                                                                        : Known::Unknown;
    if (firewall.allows == Known::Unknown) firewall.why = "firewall-cmd did not answer every question in time";
    return firewall;
}

// "systemctl --user is-active A B" prints one word a unit, in order; the
// first unit whose word begins with `word` is the one.
std::string unitSaying(const std::optional<ProgramRun::Result>& result, const std::string& word) {
    if (!result) return {};
    const std::vector<std::string> lines = linesOf(result->output);
    for (std::size_t i = 0; i < lines.size() && i < std::size(kUnits); ++i) {
        if (lines[i].rfind(word, 0) == 0) return kUnits[i];
    }
    return {};
}

}  // namespace

SystemTools SystemTools::ask(std::uint16_t port, std::uint16_t defaultPort, ProgramRun::Deadline deadline) {
    Commands commands;
    const bool ufw = !ProgramRun::find("ufw").empty() || RegularFile::identify(kUfwConfig).has_value();
    const bool ufwAsked = ufw && geteuid() == 0 && !ProgramRun::find("ufw").empty();
    const std::size_t ufwStatus = ufwAsked ? commands.add({"ufw", "status", "verbose"}) : 0;
    const bool firewalld = !ProgramRun::find("firewall-cmd").empty();
    FirewalldAsked firewalldAsked{};
    if (firewalld) {
        firewalldAsked = {commands.add({"firewall-cmd", "--state"}),
                          commands.add({"firewall-cmd", "--query-service=corvilane"}),
                          commands.add({"firewall-cmd", "--query-port=" + std::to_string(port) + "/tcp"}),
                          commands.add({"firewall-cmd", "--query-service=mdns"})};
    }
    const std::size_t active = commands.add({"systemctl", "--user", "is-active", kUnits[0], kUnits[1]});
    const std::size_t enabled = commands.add({"systemctl", "--user", "is-enabled", kUnits[0], kUnits[1]});

    const Results results = ProgramRun::runAll(commands.list(), deadline);
    SystemTools tools;
    if (ufw) {
        const std::optional<ProgramRun::Result> none;
        tools.firewalls.push_back(readUfw(ufwAsked ? results[ufwStatus] : none, ufwAsked, port, defaultPort));
    }
    if (firewalld) tools.firewalls.push_back(readFirewalld(results, firewalldAsked));
    tools.activeUnit = unitSaying(results[active], "active");
    tools.enabledUnit = unitSaying(results[enabled], "enabled");
    return tools;
}
