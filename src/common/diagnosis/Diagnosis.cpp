#include "Diagnosis.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace {

constexpr const char* kDefaultLog = "~/.local/state/corvilane/corvilane-server.log";
constexpr const char* kStart =
    "start corviLane from the applications menu, or: systemctl --user enable --now corvilane.service "
    "(without a desktop: corvilane-server)";

std::string port(std::uint16_t number) { return std::to_string(number); }

// The port the tablets use: the running server's, else the default.
std::uint16_t tabletPort(const CheckFacts& facts) {
    return facts.server.port != 0 ? facts.server.port : facts.defaultPort;
}

// Through the user service that runs it, when one does.
std::string restartFix(const CheckFacts& facts) {
    const std::string& unit = facts.server.activeUnit;
    if (!unit.empty()) return "systemctl --user restart " + unit;
    return "quit corviLane (or stop corvilane-server) and start it again";
}

// The running server's own log, as its lock says, else where it usually is.
std::string logOf(const CheckFacts& facts) {
    return facts.server.log.empty() ? std::string(kDefaultLog) : facts.server.log;
}

// A rule that keeps the port out is matched before any rule added after
// it, so the rule that lets it in goes first.
std::string ufwFix(const CheckFacts::Firewall& firewall, std::uint16_t number, std::uint16_t defaultPort) {
    const std::string allow = firewall.deniedByRule ? "sudo ufw insert 1 allow " : "sudo ufw allow ";
    if (number == defaultPort) return allow + "corviLane";
    std::string fix = allow + port(number) + "/tcp";
    if (firewall.mdns != Known::Yes) fix += " && " + allow + "5353/udp";
    return fix;
}

std::string firewallFix(const CheckFacts::Firewall& firewall, std::uint16_t number, std::uint16_t defaultPort) {
    if (firewall.name == "ufw") return ufwFix(firewall, number, defaultPort);
    const bool profile = number == defaultPort;
    return (profile ? "sudo firewall-cmd --permanent --add-service=corvilane"
                    : "sudo firewall-cmd --permanent --add-port=" + port(number) + "/tcp --add-service=mdns") +
           " && sudo firewall-cmd --reload";
}

std::string inBrackets(const std::string& text) { return text.empty() ? "" : " (" + text + ")"; }

const char* verdictWord(Diagnosis::Verdict verdict) {
    switch (verdict) {
        case Diagnosis::Verdict::Ok: return "ok";
        case Diagnosis::Verdict::Problem: return "problem";
        case Diagnosis::Verdict::Warning: return "warning";
        case Diagnosis::Verdict::Info: return "info";
    }
    return "info";
}

const char* knownWord(Known known) {
    return known == Known::Yes ? "yes" : known == Known::No ? "no" : "unknown";
}

}  // namespace

Diagnosis Diagnosis::of(const CheckFacts& facts) {
    Diagnosis diagnosis;
    diagnosis.server(facts);
    diagnosis.script(facts);
    diagnosis.scriptPort(facts);
    diagnosis.advertising(facts);
    diagnosis.addresses(facts);
    diagnosis.tablets(facts);
    diagnosis.firewalls(facts);
    diagnosis.usb(facts);
    diagnosis.midi(facts);
    diagnosis.lives(facts);
    return diagnosis;
}

// Every problem stands in the tablets' way; warnings and notes do not.
void Diagnosis::add(std::string topic, Verdict verdict, std::string text, std::string fix) {
    if (verdict == Verdict::Problem) m_Reachable = false;
    m_Findings.push_back({std::move(topic), verdict, std::move(text), std::move(fix)});
}

void Diagnosis::untold(std::string topic, std::string text, std::string fix) {
    m_Complete = false;
    add(std::move(topic), Verdict::Warning, std::move(text), std::move(fix));
}

void Diagnosis::server(const CheckFacts& facts) {
    const CheckFacts::Server& server = facts.server;
    const std::string who = "corviLane runs (pid " + std::to_string(server.pid) + ")";
    if (!server.running) {
        const std::string& unit = server.enabledUnit;
        return add("server", Verdict::Problem, "corviLane is not running for this user",
                   unit.empty() ? kStart
                                : "systemctl --user start " + unit + " (journalctl --user -u " + unit +
                                      " tells why it stopped)");
    }
    if (server.port == 0) {
        return add("server", Verdict::Problem, who + " but has no Wi-Fi port yet",
                   "check again in a moment; if it stays so, read " + logOf(facts));
    }
    if (!server.answered) {
        return add("server", Verdict::Problem, who + " but does not answer on its Wi-Fi port " + port(server.port),
                   "let this computer in (wifi.allow in corvilane-server.conf must cover 127.0.0.1), or restart it: " +
                       restartFix(facts) + "; its log: " + logOf(facts));
    }
    add("server", Verdict::Ok, who + " and answers on Wi-Fi port " + port(server.port) +
                                   (server.activeUnit.empty() ? "" : " (user service " + server.activeUnit + ")"));
    if (server.wanted != 0 && server.wanted != server.port) {
        add("server", Verdict::Warning,
            "port " + port(server.port) + " is not the port " + port(server.wanted) +
                " the settings ask for: another program held it when corviLane started",
            "see what holds it: ss -ltnp 'sport = :" + port(server.wanted) + "'; free it, then: " + restartFix(facts));
    }
}

void Diagnosis::script(const CheckFacts& facts) {
    const CheckFacts::Server& server = facts.server;
    if (!server.answered) return;
    if (server.scriptVersion > 0 && server.scriptAvailable) {
        return add("script", Verdict::Ok, "Live's corviLane script answers (version " +
                                              std::to_string(server.scriptVersion) + ")");
    }
    if (!server.liveRunning) {
        return add("script", Verdict::Warning, "Live is not running, so its corviLane script does not answer",
                   "start Live");
    }
    add("script", Verdict::Warning, "Live runs, but its corviLane script does not answer",
        "in Live: Preferences > Link, Tempo & MIDI > Control Surface: choose corviLane (install the script from "
        "corviLane's menu, Install Script, if it is not listed)");
}

// The script's datagrams (its port reports) come to UDP port 9111, which
// only one program can hold.
void Diagnosis::scriptPort(const CheckFacts& facts) {
    const CheckFacts::PortHolder& holder = facts.scriptUdp;
    if (holder.busy != Known::Yes || (facts.server.running && holder.pid == facts.server.pid)) return;
    const std::string who =
        holder.pid > 0 ? std::to_string(holder.pid) + " (" + holder.program + ")" : "a program of another user";
    const std::string stop = holder.pid > 0 ? "stop it (kill " + std::to_string(holder.pid) + ")"
                                            : "find it (sudo ss -lunp 'sport = :9111') and stop it";
    add("script", Verdict::Warning,
        "UDP port 9111, where Live's corviLane script reports to corviLane, is held by " + who,
        facts.server.running ? stop + ", then: " + restartFix(facts) : stop + " before corviLane starts");
}

void Diagnosis::advertising(const CheckFacts& facts) {
    const CheckFacts::Advertising& advertising = facts.advertising;
    if (advertising.daemon == Known::No) {
        return add("advertising", Verdict::Problem,
                   std::string("not advertised: avahi-daemon is not ") +
                       (advertising.installed ? "running" : "installed") + ", so no tablet finds this computer",
                   advertising.installed ? "sudo systemctl enable --now avahi-daemon" : "sudo apt install avahi-daemon");
    }
    if (advertising.daemon == Known::Unknown) {
        return untold("advertising",
                   "could not tell whether this computer is advertised" +
                       (advertising.error.empty() ? std::string() : " (" + advertising.error + ")"));
    }
    if (!facts.server.running || facts.server.port == 0) return;
    const std::vector<std::uint16_t>& ports = advertising.ports;
    if (ports.empty()) {
        return add("advertising", Verdict::Problem,
                   "avahi-daemon runs, but this computer's corviLane is not among the advertised services",
                   "read the lines beginning with \"DNS-SD\" in " + logOf(facts) + ", then: " + restartFix(facts));
    }
    if (std::find(ports.begin(), ports.end(), facts.server.port) == ports.end()) {
        return add("advertising", Verdict::Problem,
                   "advertised on port " + port(ports.front()) + ", but corviLane listens on " + port(facts.server.port),
                   restartFix(facts));
    }
    add("advertising", Verdict::Ok,
        "advertised as \"" + advertising.name + "\" on port " + port(facts.server.port));
}

// Who may connect, and who has: notes, not problems.
void Diagnosis::tablets(const CheckFacts& facts) {
    if (!facts.allowed.empty()) add("allowed", Verdict::Info, "Wi-Fi sessions are allowed from " + facts.allowed);
    if (!facts.server.running) return;
    if (facts.tablets.empty()) add("tablets", Verdict::Info, "no tablet has a confirmed session now");
    for (const std::string& tablet : facts.tablets) add("tablets", Verdict::Info, "tablet " + tablet);
}

void Diagnosis::addresses(const CheckFacts& facts) {
    if (facts.addresses.empty()) {
        return add("network", Verdict::Problem, "this computer has no network address a tablet could reach",
                   "connect it to the Wi-Fi (or the network) the tablet is on");
    }
    std::string list;
    bool wireless = false;
    for (const CheckFacts::Address& address : facts.addresses) {
        if (!list.empty()) list += ", ";
        list += address.address + ":" + port(tabletPort(facts)) + " (" + address.interface +
                (address.wireless ? ", Wi-Fi)" : ")");
        wireless = wireless || address.wireless;
    }
    add("network", Verdict::Info, "tablets reach this computer at " + list);
    if (!wireless) {
        add("network", Verdict::Info, "none of these is on Wi-Fi: the tablet's network must reach one of them");
    }
}

void Diagnosis::firewalls(const CheckFacts& facts) {
    const std::uint16_t number = tabletPort(facts);
    if (facts.firewalls.empty()) {
        return add("firewall", Verdict::Info,
                   "neither ufw nor firewalld is installed; other firewall rules (nftables, iptables) cannot be "
                   "read here: they must let TCP port " + port(number) + " and mDNS (UDP 5353) in");
    }
    for (const CheckFacts::Firewall& firewall : facts.firewalls) {
        const std::string fix = firewallFix(firewall, number, facts.defaultPort);
        const std::string what = "TCP port " + port(number) + " and mDNS (UDP 5353)";
        const std::string why = inBrackets(firewall.why);
        if (firewall.active == Known::No) {
            add("firewall", Verdict::Ok, firewall.name + " is installed but not active");
        } else if (firewall.active == Known::Unknown) {
            untold("firewall", "could not tell whether " + firewall.name + " is active" + why, fix);
        } else if (firewall.allows == Known::Yes) {
            add("firewall", Verdict::Ok, firewall.name + " is active and lets " + what + " in" + why);
        } else if (firewall.allows == Known::No) {
            // What is known to be kept out; both when it is not told which.
            const bool portOut = firewall.port == Known::No || firewall.mdns != Known::No;
            const bool mdnsOut = firewall.mdns == Known::No || firewall.port != Known::No;
            const std::string out = portOut && mdnsOut ? what
                                    : portOut          ? "TCP port " + port(number)
                                                       : "mDNS (UDP 5353)";
            add("firewall", Verdict::Problem, firewall.name + " is active and does not let " + out + " in" + why, fix);
        } else {
            untold("firewall", firewall.name + " is active; whether it lets " + what + " in could not be told" + why, fix);
        }
    }
}

void Diagnosis::usb(const CheckFacts& facts) {
    if (facts.usbmuxd == Known::Yes) {
        add("usb", Verdict::Ok, "usbmuxd runs: tablets on a USB cable can connect");
    } else if (facts.usbmuxd == Known::No && facts.usbmuxdInstalled) {
        add("usb", Verdict::Info, "usbmuxd is installed but not running: it starts by itself when an iPad is plugged in",
            "if a tablet on a USB cable is not served: sudo systemctl start usbmuxd");
    } else if (facts.usbmuxd == Known::No) {
        add("usb", Verdict::Info, "usbmuxd is not installed, so tablets on a USB cable cannot connect",
            "sudo apt install usbmuxd");
    } else {
        add("usb", Verdict::Info, "could not tell whether usbmuxd runs: it did not answer in time");
    }
}

void Diagnosis::midi(const CheckFacts& facts) {
    if (!facts.midiTold) {
        return add("midi", Verdict::Warning, "could not tell which MIDI system takes corviLane's MIDI sources: "
                                             "none answered in time");
    }
    if (facts.midi.empty()) {
        return add("midi", Verdict::Warning,
                   "no MIDI system takes corviLane's two MIDI sources (neither the ALSA sequencer nor a JACK server)",
                   "load the ALSA sequencer (sudo modprobe snd-seq), or start JACK, then: " + restartFix(facts));
    }
    add("midi", Verdict::Ok, "the MIDI sources are on " + facts.midi);
}

void Diagnosis::lives(const CheckFacts& facts) {
    if (!facts.livesTold) {
        return add("live", Verdict::Info, "could not tell where Live is: the search (in " + facts.liveFolders +
                                              ") did not end in time");
    }
    if (facts.lives.empty()) {
        return add("live", Verdict::Info, "no copy of Live found (looked in " + facts.liveFolders + ")",
                   "install the script from corviLane's menu: Install Script, which can browse to Live");
    }
    for (const CheckFacts::Live& live : facts.lives) {
        if (live.scriptInstalled) {
            add("live", Verdict::Ok, live.path + ": the corviLane script is installed");
        } else {
            add("live", Verdict::Warning, live.path + ": the corviLane script is not installed",
                "corviLane's menu: Install Script");
        }
    }
}

std::string Diagnosis::text() const {
    std::string text;
    for (const Finding& finding : m_Findings) {
        std::string word = verdictWord(finding.verdict);
        word.resize(9, ' ');
        text += word + finding.text + "\n";
        if (!finding.fix.empty()) text += "         fix: " + finding.fix + "\n";
    }
    text += !m_Reachable ? "Something stands in the tablets' way: see the problems above.\n"
            : m_Complete ? "Tablets can reach this computer.\n"
                         : "Nothing found stands in the tablets' way, but not everything could be told: see the "
                           "warnings above.\n";
    return text;
}

std::string Diagnosis::json(const CheckFacts& facts) const {
    nlohmann::ordered_json findings = nlohmann::ordered_json::array();
    for (const Finding& finding : m_Findings) {
        findings.push_back({{"topic", finding.topic},
                            {"verdict", verdictWord(finding.verdict)},
                            {"text", finding.text},
                            {"fix", finding.fix}});
    }
    nlohmann::ordered_json addresses = nlohmann::ordered_json::array();
    for (const CheckFacts::Address& address : facts.addresses) {
        addresses.push_back({{"interface", address.interface}, {"address", address.address},
                             {"wireless", address.wireless}});
    }
    nlohmann::ordered_json firewalls = nlohmann::ordered_json::array();
    for (const CheckFacts::Firewall& firewall : facts.firewalls) {
        firewalls.push_back({{"name", firewall.name}, {"active", knownWord(firewall.active)},
                             {"allows", knownWord(firewall.allows)}, {"port", knownWord(firewall.port)},
                             {"mdns", knownWord(firewall.mdns)},
                             {"denied_by_rule", firewall.deniedByRule}, {"why", firewall.why}});
    }
    nlohmann::ordered_json lives = nlohmann::ordered_json::array();
    for (const CheckFacts::Live& live : facts.lives) {
        lives.push_back({{"path", live.path}, {"script_installed", live.scriptInstalled}});
    }
    const CheckFacts::Server& server = facts.server;
    const nlohmann::ordered_json report = {
        {"reachable", m_Reachable},
        {"complete", m_Complete},
        {"findings", findings},
        {"server",
         {{"running", server.running}, {"pid", server.pid}, {"port", server.port}, {"wanted_port", server.wanted},
          {"answered", server.answered}, {"script_version", server.scriptVersion},
          {"script_available", server.scriptAvailable}, {"live_running", server.liveRunning}, {"log", server.log},
          {"active_unit", server.activeUnit}, {"enabled_unit", server.enabledUnit}}},
        {"advertising",
         {{"daemon", knownWord(facts.advertising.daemon)}, {"installed", facts.advertising.installed},
          {"name", facts.advertising.name},
          {"ports", facts.advertising.ports}}},
        {"addresses", addresses},
        {"allowed", facts.allowed},
        {"tablets", facts.tablets},
        {"firewalls", firewalls},
        {"usbmuxd", knownWord(facts.usbmuxd)},
        {"usbmuxd_installed", facts.usbmuxdInstalled},
        {"script_udp",
         {{"busy", knownWord(facts.scriptUdp.busy)}, {"pid", facts.scriptUdp.pid},
          {"program", facts.scriptUdp.program}}},
        {"midi", facts.midi},
        {"lives", lives}};
    // Text that is not UTF-8 (a file name, say) is replaced, never an error.
    return report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
