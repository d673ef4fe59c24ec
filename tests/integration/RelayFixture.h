#pragma once

// The relay end to end over loopback: a simulated Live script on one of the
// script ports, simulated tablets on the Wi-Fi listener, the whole server in
// between as startThreads builds it.
#include "AbletonClientTCP.h"
#include "Clock.h"
#include "IpadServerThread.h"
#include "LogBudget.h"
#include "LinuxPlatform.h"
#include "Logger.h"
#include "corviLaneServer.h"

#include "ChildProcess.h"
#include "SimulatedLiveScript.h"
#include "SimulatedTablet.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>

inline const std::vector<std::int32_t> kQuietPong{300, 9008, 4, 5, 6};

#ifdef CORVILANE_SANITIZED
inline constexpr int kSlowdown = 10;  // the sanitizers make every step slower
#else
inline constexpr int kSlowdown = 1;
#endif

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::expectTestMoves();  // before the server's pauses begin
        using namespace std::chrono_literals;
        m_Previous = std::filesystem::current_path();
        std::filesystem::current_path(m_Dir.path());
        writeFile("corvilane-server.conf", settings());
        CLogger::init("corvilane-server.log", 2048);
        LogBudget::resetForTesting();  // every test's lines are logged from the first
        CLogger::setLogLevel(CLogger::kDebug);
        m_Script = std::make_unique<SimulatedLiveScript>(scriptPort());
        ASSERT_TRUE(m_Script->listening());
        startThreads(true, LinuxPlatform::instance().platform());
        ASSERT_TRUE(m_Script->waitForConnection());
        ASSERT_TRUE(waitUntil([] { return log().find("Started listening") != std::string::npos; }, 5s));
    }

    void TearDown() override {
        stopThreads();
        m_Script.reset();
        CLogger::finish();
        Clock::resetForTesting();
        std::filesystem::current_path(m_Previous);
    }

    virtual std::uint16_t scriptPort() const { return 9008; }
    // Room for every tablet these tests connect, all from one address.
    virtual std::string settings() const { return "wifi.max_sessions=64\nwifi.max_sessions_per_address=64\n"; }

    static std::string log() { return readFile("corvilane-server.log"); }
    // How many times `text` is in the log.
    static std::size_t count(const std::string& text) {
        const std::string all = log();
        std::size_t found = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++found;
        return found;
    }

    // A tablet on the Wi-Fi listener; `confirm` sends "/server/ping" 1 first.
    std::unique_ptr<SimulatedTablet> tablet(bool confirm, int receiveBuffer = 0, const char* from = nullptr) {
        using namespace std::chrono_literals;
        auto ipad = std::make_unique<SimulatedTablet>(static_cast<std::uint16_t>(_ipadSrvThread->getPort()),
                                                      receiveBuffer, from);
        if (confirm) {
            ipad->sendMessage({"/server/ping", {1}});
            EXPECT_TRUE(ipad->waitFor("/server/pong").has_value());
        } else {
            ipad->sendMessage({"/server/getstate", {}});
            EXPECT_TRUE(ipad->waitFor("/server/state").has_value());
        }
        return ipad;
    }

    // Makes the script answer pings with a version that opens the relay.
    void openRelay(const std::vector<std::int32_t>& pong = kQuietPong) {
        using namespace std::chrono_literals;
        m_Script->answerPings(pong);
        ASSERT_TRUE(waitUntil([] { return scriptLink().version >= 300; }, 3s));
        m_Script->clear();
    }

    // Waits for `steps` more liveness steps; each pings the script first, so all but the last have run whole.
    bool livenessSteps(int steps) {
        const auto pings = [this] { return std::ranges::count_if(m_Script->payloads(), SimulatedLiveScript::isPing); };
        const auto until = pings() + steps;
        return waitUntil([&] { return pings() >= until; }, std::chrono::seconds(3) * kSlowdown);
    }

    // Messages a tablet receives within `window`, pings left out.
    static std::vector<osctest::Message> drain(SimulatedTablet& ipad,
                                               std::chrono::milliseconds window = std::chrono::milliseconds(400)) {
        using namespace std::chrono_literals;
        std::vector<osctest::Message> messages;
        const auto deadline = std::chrono::steady_clock::now() + window;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto frame = ipad.readFrame(50ms);
            if (!frame) continue;
            const auto packet = osctest::decode(frame->payload);
            if (!packet) continue;
            for (const auto& message : packet->messages) {
                if (message.address != "/app/ping") messages.push_back(message);
            }
        }
        return messages;
    }

    TempDir m_Dir;
    std::filesystem::path m_Previous;
    std::unique_ptr<SimulatedLiveScript> m_Script;
};
