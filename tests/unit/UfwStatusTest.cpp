// ufw's status read as ufw decides, from what "ufw status verbose" prints.
#include "PortHolder.h"
#include "UfwStatus.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// A rules' row as ufw prints it: "%-26s %-12s%-26s".
std::string row(const std::string& to, const std::string& action, const std::string& from) {
    char text[160];
    std::snprintf(text, sizeof text, "%-26s %-12s%-26s\n", to.c_str(), action.c_str(), from.c_str());
    return text;
}

std::string active(const std::string& policy, const std::vector<std::string>& rows) {
    std::string text = "Status: active\nLogging: on (low)\nDefault: " + policy +
                       " (incoming), allow (outgoing), disabled (routed)\nNew profiles: skip\n";
    if (rows.empty()) return text;
    text += "\n" + row("To", "Action", "From") + row("--", "------", "----");
    for (const std::string& line : rows) text += line;
    return text;
}

UfwQuestion question(std::uint16_t port = 9020, bool mdnsAdmitted = true) {
    return {.port = port, .profile = "corviLane", .profilePorts = {{9020, "tcp"}, {5353, "udp"}},
            .mdnsAdmitted = mdnsAdmitted};
}

TEST(UfwStatusTest, DecidesAsUfwDoes) {
    const std::string ssh = row("22/tcp", "ALLOW IN", "Anywhere");
    const struct {
        const char* name;
        std::string output;
        UfwQuestion asked;
        Known active, port, mdns;
        bool byRule;
        std::string why;  // part of the answer's why
    } cases[] = {
        {"allowed by its port", active("deny", {ssh, row("9020/tcp", "ALLOW IN", "Anywhere")}), question(),
         Known::Yes, Known::Yes, Known::Yes, false, "rule \"9020/tcp ALLOW IN Anywhere\""},
        {"a deny before the allow decides", active("deny", {row("9020/tcp", "DENY IN", "Anywhere"),
                                                            row("9020/tcp (corviLane)", "ALLOW IN", "Anywhere")}),
         question(), Known::Yes, Known::No, Known::Yes, true, "rule \"9020/tcp DENY IN Anywhere\""},
        {"default policy keeps it out", active("deny", {}), question(), Known::Yes, Known::No, Known::Yes, false,
         "the default incoming policy, deny"},
        {"only another port let in", active("deny", {ssh, row("19020/tcp", "ALLOW IN", "Anywhere")}), question(),
         Known::Yes, Known::No, Known::Yes, false, "default incoming policy"},
        {"profile allowed, mDNS by its rule", active("deny", {row("9020/tcp (corviLane)", "ALLOW IN", "Anywhere"),
                                                             row("5353/udp (corviLane)", "ALLOW IN", "Anywhere")}),
         question(9020, false), Known::Yes, Known::Yes, Known::Yes, false, "rule \"5353/udp (corviLane)"},
        {"profile denied", active("allow", {row("9020/tcp (corviLane)", "REJECT IN", "Anywhere")}), question(),
         Known::Yes, Known::No, Known::Yes, true, "REJECT IN"},
        {"profile named alone covers only its own port",
         active("deny", {row("corviLane", "ALLOW", "Anywhere")}), question(9021), Known::Yes, Known::No, Known::Yes,
         false, "default incoming policy"},
        {"mDNS kept out without ufw's stock before.rules", active("deny", {row("9020/tcp", "LIMIT IN", "Anywhere")}),
         question(9020, false), Known::Yes, Known::Yes, Known::No, false, "mDNS: the default incoming policy"},
        {"range holding the port", active("deny", {row("9000:9100/tcp", "ALLOW IN", "Anywhere")}), question(),
         Known::Yes, Known::Yes, Known::Yes, false, "9000:9100/tcp"},
        {"only from one network", active("deny", {row("9020/tcp", "ALLOW IN", "192.168.1.0/24")}), question(),
         Known::Yes, Known::Unknown, Known::Yes, false, "let in only for tablets from 192.168.1.0/24"},
        {"outgoing, routed and v6 rows do not decide",
         active("allow", {row("9020/tcp", "DENY OUT", "Anywhere (out)"), row("9020", "DENY FWD", "Anywhere"),
                          row("9020/tcp (v6)", "DENY IN", "Anywhere (v6)")}),
         question(), Known::Yes, Known::Yes, Known::Yes, false, "the default incoming policy, allow"},
        {"unknown profile named alone", active("deny", {row("Foo Bar", "ALLOW", "Anywhere")}), question(),
         Known::Yes, Known::Unknown, Known::Yes, false, "names the profile Foo Bar"},
        {"inactive", "Status: inactive\n", question(), Known::No, Known::Unknown, Known::Unknown, false, ""},
        {"not root", "ERROR: You need to be root to run this script\n", question(), Known::Unknown, Known::Unknown,
         Known::Unknown, false, "could not be read (ERROR: You need to be root"},
    };
    for (const auto& c : cases) {
        const UfwAnswer answer = readUfwStatus(c.output, c.asked);
        EXPECT_EQ(answer.active, c.active) << c.name;
        EXPECT_EQ(answer.port, c.port) << c.name << ": " << answer.why;
        EXPECT_EQ(answer.mdns, c.mdns) << c.name << ": " << answer.why;
        EXPECT_EQ(answer.deniedByRule, c.byRule) << c.name;
        EXPECT_NE(answer.why.find(c.why), std::string::npos) << c.name << ": " << answer.why;
    }
}

TEST(PortHolderTest, FindsTheSocketsBoundToAPort) {
    const std::string table =
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
        "  101: 00000000:2397 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 48213 2 0 0\n"
        "  102: 0100007F:14E9 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 48214 2 0 0\n";
    EXPECT_EQ(socketInodes(table, 9111), std::vector<unsigned long>{48213});
    EXPECT_TRUE(socketInodes(table, 9112).empty());
}

}  // namespace
