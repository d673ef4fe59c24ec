// The DNS-SD advertisement against a real Avahi daemon on a private bus.
#include "AvahiTestDaemons.h"
#include "ChildProcess.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class DnsSdTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string reason = AvahiTestDaemons::unavailableReason();
        if (!reason.empty()) GTEST_SKIP() << reason;
        m_Daemons = std::make_unique<AvahiTestDaemons>();
    }

    std::unique_ptr<ChildProcess> launchServer() {
        return std::make_unique<ChildProcess>(ChildProcess::Options{
            .args = {CORVILANE_SERVER_PATH},
            .workingDirectory = m_Dir.path().string(),
            .env = {{"DBUS_SYSTEM_BUS_ADDRESS", m_Daemons->busAddress()}, {"XDG_RUNTIME_DIR", m_Dir.path().string()}}});
    }

    // The resolved line avahi-browse prints for our service, if any.
    bool advertised(const std::string& port) const {
        const std::string expected = ";_corvilane._udp;local;";
        for (const std::string& line : split(m_Daemons->browse("_corvilane._udp"))) {
            // =;lo;IPv4;NAME;_corvilane._udp;local;HOST.local;127.0.0.1;PORT;
            if (line.find(";" + hostName() + expected) != std::string::npos &&
                line.find(";" + port + ";") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    static std::vector<std::string> split(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    static std::string hostName() {
        char name[1024] = {};
        gethostname(name, sizeof name - 1);
        return name;
    }

    std::string log() const { return readFile(m_Dir.file("corvilane-server.log")); }

    // The Wi-Fi listener's port, as the server logged it.
    std::string listenerPort() const {
        std::string port;
        waitUntil([&] {
            const std::string text = log();
            const auto at = text.find("Bound to port ");
            if (at == std::string::npos) return false;
            port = text.substr(at + 14, text.find('\n', at) - at - 14);
            return true;
        }, 10s);
        return port;
    }

    TempDir m_Dir;
    std::unique_ptr<AvahiTestDaemons> m_Daemons;
};

TEST_F(DnsSdTest, AdvertisedUnderTheHostNameAndAgainAfterTheDaemonRestarts) {
    ASSERT_TRUE(m_Daemons->startAvahi());
    auto server = launchServer();
    const std::string port = listenerPort();
    ASSERT_FALSE(port.empty() || port == "0") << log();
    EXPECT_TRUE(waitUntil([&] { return advertised(port); }, 15s)) << log();

    m_Daemons->stopAvahi();
    ASSERT_TRUE(m_Daemons->startAvahi());
    EXPECT_TRUE(waitUntil([&] { return advertised(port); }, 15s)) << log();

    server->signal(SIGTERM);
    ASSERT_TRUE(server->wait(5s).has_value());
    EXPECT_NE(log().find(" INFO Finished.\n"), std::string::npos);
}

TEST_F(DnsSdTest, MissingDaemonIsAnErrorTheServerRunsOnAndAdvertisesWhenItStarts) {
    auto server = launchServer();
    ASSERT_TRUE(waitUntil([&] { return log().find(" ERROR DNS-SD: ") != std::string::npos; }, 10s));
    EXPECT_TRUE(server->running());

    ASSERT_TRUE(m_Daemons->startAvahi());
    EXPECT_TRUE(waitUntil([&] { return advertised(listenerPort()); }, 15s)) << log();
    server->signal(SIGTERM);
    ASSERT_TRUE(server->wait(5s).has_value());
}

}  // namespace
