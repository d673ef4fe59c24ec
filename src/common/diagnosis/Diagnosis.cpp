#include "Diagnosis.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace {

constexpr const char* kRestart = "systemctl --user restart corvilane.service (or quit corviLane and start it again)";
constexpr const char* kLog = "~/.local/state/corvilane/corvilane-server.log";

std::string port(std::uint16_t number) { return std::to_string(number); }

// The port the tablets use: the running server's, else the default.
std::uint16_t tabletPort(const CheckFacts& facts) {
    return facts.server.port != 0 ? facts.server.port : facts.defaultPort;
}

std::string firewallFix(const std::string& name, std::uint16_t number, std::uint16_t defaultPort) {
    const bool profile = number == defaultPort;
    if (name == "ufw") {
        return profile ? "sudo ufw allow corviLane" : "sudo ufw allow " + port(number) + "/tcp && sudo ufw allow mdns";
    }
    return (profile ? "sudo firewall-cmd --permanent --add-service=corvilane"
                    : "sudo firewall-cmd --permanent --add-port=" + port(number) + "/tcp --add-service=mdns") +
           " && sudo firewall-cmd --reload";
}

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
    diagnosis.advertising(facts);
    diagnosis.addresses(facts);
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

void Diagnosis::server(const CheckFacts& facts) {
    const CheckFacts::Server& server = facts.server;
    const std::string who = "corviLane runs (pid " + std::to_string(server.pid) + ")";
    if (!server.running) {
        return add("server", Verdict::Problem, "corviLane is not running for this user",
                   "start corviLane from the applications menu, or: systemctl --user enable --now corvilane.service "
                   "(without a desktop: corvilane-server)");
    }
    if (server.port == 0) {
        return add("server", Verdict::Problem, who + " but has no Wi-Fi port yet",
                   std::string("check again in a moment; if it stays so, read ") + kLog);
    }
    if (!server.answered) {
        return add("server", Verdict::Problem, who + " but does not answer on its Wi-Fi port " + port(server.port),
                   std::string("let this computer in (wifi.allow in corvilane-server.conf must cover 127.0.0.1), "
                               "or restart it: ") + kRestart);
    }
    add("server", Verdict::Ok, who + " and answers on Wi-Fi port " + port(server.port));
    if (server.wanted != 0 && server.wanted != server.port) {
        add("server", Verdict::Warning,
            "port " + port(server.port) + " is not the port " + port(server.wanted) +
                " the settings ask for: another program held it when corviLane started",
            "see what holds it: ss -ltnp 'sport = :" + port(server.wanted) + "'; free it, then: " + kRestart);
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

void Diagnosis::advertising(const CheckFacts& facts) {
    const CheckFacts::Advertising& advertising = facts.advertising;
    if (advertising.daemon == Known::No) {
        return add("advertising", Verdict::Problem, "not advertised: avahi-daemon is not running, so no tablet finds "
                                                    "this computer",
                   "sudo apt install avahi-daemon && sudo systemctl enable --now avahi-daemon");
    }
    if (advertising.daemon == Known::Unknown) {
        return add("advertising", Verdict::Warning,
                   "could not tell whether this computer is advertised" +
                       (advertising.error.empty() ? std::string() : " (" + advertising.error + ")"));
    }
    if (!facts.server.running || facts.server.port == 0) return;
    const std::vector<std::uint16_t>& ports = advertising.ports;
    if (ports.empty()) {
        return add("advertising", Verdict::Problem,
                   "avahi-daemon runs, but this computer's corviLane is not among the advertised services",
                   std::string("read the lines beginning with \"DNS-SD\" in ") + kLog + ", then: " + kRestart);
    }
    if (std::find(ports.begin(), ports.end(), facts.server.port) == ports.end()) {
        return add("advertising", Verdict::Problem,
                   "advertised on port " + port(ports.front()) + ", but corviLane listens on " + port(facts.server.port),
                   kRestart);
    }
    add("advertising", Verdict::Ok,
        "advertised as \"" + advertising.name + "\" on port " + port(facts.server.port));
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
        const std::string fix = firewallFix(firewall.name, number, facts.defaultPort);
        const std::string what = "TCP port " + port(number) + " and mDNS (UDP 5353)";
        if (firewall.active == Known::No) {
            add("firewall", Verdict::Ok, firewall.name + " is installed but not active");
        } else if (firewall.active == Known::Unknown) {
            add("firewall", Verdict::Warning, "could not tell whether " + firewall.name + " is active", fix);
        } else if (firewall.allows == Known::Yes) {
            add("firewall", Verdict::Ok, firewall.name + " is active and lets " + what + " in");
        } else if (firewall.allows == Known::No) {
            add("firewall", Verdict::Problem, firewall.name + " is active and does not let " + what + " in", fix);
        } else {
            add("firewall", Verdict::Warning,
                firewall.name + " is active; whether it lets " + what + " in could not be told (it takes root)", fix);
        }
    }
}

void Diagnosis::usb(const CheckFacts& facts) {
    if (facts.usbmuxd == Known::Yes) {
        add("usb", Verdict::Ok, "usbmuxd runs: tablets on a USB cable can connect");
    } else if (facts.usbmuxd == Known::No) {
        add("usb", Verdict::Info,
            "usbmuxd is not running: it starts by itself when an iPad is plugged in, if it is installed",
            "for tablets on a USB cable: sudo apt install usbmuxd");
    }
}

void Diagnosis::midi(const CheckFacts& facts) {
    if (facts.midi.empty()) {
        return add("midi", Verdict::Warning,
                   "no MIDI system takes corviLane's two MIDI sources (neither the ALSA sequencer nor a JACK server)",
                   "load the ALSA sequencer (sudo modprobe snd-seq), or start JACK, then: " + std::string(kRestart));
    }
    add("midi", Verdict::Ok, "the MIDI sources are on " + facts.midi);
}

void Diagnosis::lives(const CheckFacts& facts) {
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
    text += m_Reachable ? "Tablets can reach this computer.\n"
                        : "Something stands in the tablets' way: see the problems above.\n";
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
                             {"allows", knownWord(firewall.allows)}});
    }
    nlohmann::ordered_json lives = nlohmann::ordered_json::array();
    for (const CheckFacts::Live& live : facts.lives) {
        lives.push_back({{"path", live.path}, {"script_installed", live.scriptInstalled}});
    }
    const CheckFacts::Server& server = facts.server;
    const nlohmann::ordered_json report = {
        {"reachable", m_Reachable},
        {"findings", findings},
        {"server",
         {{"running", server.running}, {"pid", server.pid}, {"port", server.port}, {"wanted_port", server.wanted},
          {"answered", server.answered}, {"script_version", server.scriptVersion},
          {"script_available", server.scriptAvailable}, {"live_running", server.liveRunning}}},
        {"advertising",
         {{"daemon", knownWord(facts.advertising.daemon)}, {"name", facts.advertising.name},
          {"ports", facts.advertising.ports}}},
        {"addresses", addresses},
        {"firewalls", firewalls},
        {"usbmuxd", knownWord(facts.usbmuxd)},
        {"midi", facts.midi},
        {"lives", lives}};
    // Text that is not UTF-8 (a file name, say) is replaced, never an error.
    return report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
