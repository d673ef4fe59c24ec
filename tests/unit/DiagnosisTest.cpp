// The check's decisions, from the facts that probes would find.
#include "Diagnosis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>

namespace {

// A computer where everything is in place: the server answers on the default
// port, advertised there, Live's script answers, ufw lets the port in.
CheckFacts everythingFine() {
    CheckFacts facts;
    facts.defaultPort = 9020;
    facts.server = {.running = true, .pid = 42, .port = 9020, .wanted = 9020, .answered = true, .scriptVersion = 300,
                    .scriptAvailable = true, .liveRunning = true, .log = "/home/me/.local/state/corvilane/corvilane-server.log",
                    .activeUnit = "corvilane.service", .enabledUnit = "corvilane.service"};
    facts.advertising = {.daemon = Known::Yes, .error = {}, .name = "studio", .ports = {9020}};
    facts.addresses = {{"wlan0", "192.168.1.20", true}};
    facts.firewalls = {{"ufw", Known::Yes, Known::Yes}};
    facts.usbmuxd = Known::Yes;
    facts.midi = "the ALSA sequencer";
    facts.lives = {{"/home/me/.wine/drive_c/ProgramData/Ableton/Live 11 Suite", true}};
    return facts;
}

struct Case {
    const char* name;
    std::function<void(CheckFacts&)> change;
    bool reachable;
    Diagnosis::Verdict verdict;  // of the finding below
    std::string text;            // part of its text
    std::string fix;             // part of its fix
    bool complete = true;        // everything on the tablets' way could be told
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class DiagnosisTest : public testing::TestWithParam<Case> {};

TEST_P(DiagnosisTest, SaysWhatStandsInTheWayAndHowToFixIt) {
    CheckFacts facts = everythingFine();
    GetParam().change(facts);
    const Diagnosis diagnosis = Diagnosis::of(facts);
    EXPECT_EQ(diagnosis.reachable(), GetParam().reachable);
    const auto& findings = diagnosis.findings();
    const auto found = std::find_if(findings.begin(), findings.end(), [](const Diagnosis::Finding& finding) {
        return finding.text.find(GetParam().text) != std::string::npos;
    });
    ASSERT_NE(found, findings.end()) << diagnosis.text();
    EXPECT_EQ(found->verdict, GetParam().verdict) << found->text;
    EXPECT_NE(found->fix.find(GetParam().fix), std::string::npos) << found->fix;
    const std::string closing = !GetParam().reachable ? "Something stands in the tablets' way: see the problems above.\n"
                                : GetParam().complete ? "Tablets can reach this computer.\n"
                                                      : "not everything could be told: see the warnings above.\n";
    EXPECT_TRUE(diagnosis.text().ends_with(closing));
}

INSTANTIATE_TEST_SUITE_P(
    Facts, DiagnosisTest,
    testing::Values(
        Case{"EverythingFine", [](CheckFacts&) {}, true, Diagnosis::Verdict::Ok,
             "advertised as \"studio\" on port 9020", ""},
        Case{"NoServer", [](CheckFacts& f) { f.server = {}; }, false, Diagnosis::Verdict::Problem,
             "corviLane is not running", "systemctl --user enable --now corvilane.service"},
        Case{"NoServerHeadless",
             [](CheckFacts& f) { f.server = {.enabledUnit = "corvilane-server.service"}; }, false,
             Diagnosis::Verdict::Problem, "corviLane is not running",
             "systemctl --user start corvilane-server.service"},
        Case{"AvahiDaemonStopped", [](CheckFacts& f) { f.advertising = {.daemon = Known::No}; }, false,
             Diagnosis::Verdict::Problem, "avahi-daemon is not running", "sudo systemctl enable --now avahi-daemon"},
        Case{"AvahiDaemonNotInstalled", [](CheckFacts& f) { f.advertising = {.daemon = Known::No, .installed = false}; },
             false, Diagnosis::Verdict::Problem, "avahi-daemon is not installed", "sudo apt install avahi-daemon"},
        Case{"NotAdvertisedAfterAll", [](CheckFacts& f) { f.advertising.ports.clear(); }, false,
             Diagnosis::Verdict::Problem, "not among the advertised services",
             "/home/me/.local/state/corvilane/corvilane-server.log, then: systemctl --user restart corvilane.service"},
        Case{"WrongPortAdvertised", [](CheckFacts& f) { f.advertising.ports = {50137}; }, false,
             Diagnosis::Verdict::Problem, "advertised on port 50137, but corviLane listens on 9020",
             "systemctl --user restart corvilane.service"},
        Case{"NoScript", [](CheckFacts& f) { f.server.scriptAvailable = false; }, true,
             Diagnosis::Verdict::Warning, "Live runs, but its corviLane script does not answer",
             "Control Surface: choose corviLane"},
        Case{"NoFirewall", [](CheckFacts& f) { f.firewalls.clear(); }, true, Diagnosis::Verdict::Info,
             "neither ufw nor firewalld is installed", ""},
        Case{"FirewallClosedOnAnotherPort",
             [](CheckFacts& f) {
                 f.server.port = 50137;
                 f.advertising.ports = {50137};
                 f.firewalls = {{"firewalld", Known::Yes, Known::No}};
             },
             false, Diagnosis::Verdict::Problem, "firewalld is active and does not let TCP port 50137",
             "sudo firewall-cmd --permanent --add-port=50137/tcp --add-service=mdns && sudo firewall-cmd --reload"},
        Case{"UfwRulesUnreadable", [](CheckFacts& f) { f.firewalls = {{"ufw", Known::Yes, Known::Unknown}}; }, true,
             Diagnosis::Verdict::Warning, "could not be told", "sudo ufw allow corviLane", false},
        Case{"UfwRuleDeniesAnotherPort",
             [](CheckFacts& f) {
                 f.server.port = 50137;
                 f.advertising.ports = {50137};
                 f.firewalls = {{.name = "ufw", .active = Known::Yes, .allows = Known::No, .port = Known::No,
                                 .mdns = Known::Yes, .deniedByRule = true,
                                 .why = "TCP port 50137: rule \"50137/tcp DENY IN Anywhere\""}};
             },
             false, Diagnosis::Verdict::Problem,
             "does not let TCP port 50137 in (TCP port 50137: rule \"50137/tcp DENY IN Anywhere\")",
             "sudo ufw insert 1 allow 50137/tcp"},
        Case{"ScriptPortHeldByAnother", [](CheckFacts& f) { f.scriptUdp = {Known::Yes, 4242, "nc"}; }, true,
             Diagnosis::Verdict::Warning, "UDP port 9111, where Live's corviLane script reports to corviLane, is held "
             "by 4242 (nc)", "kill 4242"},
        Case{"PortTakenAtStart", [](CheckFacts& f) {
                 f.server.port = 50137;
                 f.advertising.ports = {50137};
             }, true,
             Diagnosis::Verdict::Warning, "is not the port 9020 the settings ask for", "ss -ltnp 'sport = :9020'"},
        Case{"NoAddress", [](CheckFacts& f) { f.addresses.clear(); }, false, Diagnosis::Verdict::Problem,
             "no network address", "connect it to the Wi-Fi"}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
