#pragma once

#include "OscCodec.h"
#include "TestSockets.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The Live script's side of the script connection, for tests: listens on
// 127.0.0.1:port, accepts the server, answers each "/script/ping" with the
// pong it is given (none until then), records every frame it receives and
// sends frames on request. Also sends datagrams to the UDP listener.
class SimulatedLiveScript {
public:
    // `observe`, when given, sees each payload on the reading thread as it arrives.
    explicit SimulatedLiveScript(std::uint16_t port, std::function<void(const std::string&)> observe = {});
    ~SimulatedLiveScript();
    SimulatedLiveScript(const SimulatedLiveScript&) = delete;
    SimulatedLiveScript& operator=(const SimulatedLiveScript&) = delete;

    bool listening() const { return m_Listening >= 0; }
    bool waitForConnection(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // The pong sent for every ping from now on; empty: answer no more pings.
    void answerPings(std::vector<std::int32_t> pong);

    void sendFrame(const std::string& payload, std::uint32_t type = 2);
    void sendMessage(const osctest::Message& message) { sendFrame(osctest::encode(message)); }
    void disconnect();
    // Stops reading (Live is busy) or reads again; what comes meanwhile
    // waits in the connection.
    void pauseReading(bool paused) { m_Paused = paused; }
    // How many connections the server has opened so far.
    int connections() const { return m_Connections.load(); }

    // Every payload received so far, in order (pings included).
    std::vector<std::string> payloads();
    std::vector<std::string> payloadsExceptPings();
    void clear();
    // Waits until a received payload satisfies `match`; returns it.
    std::optional<std::string> waitFor(const std::function<bool(const std::string&)>& match,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(3));
    std::optional<std::string> waitForAddress(const std::string& address,
                                              std::chrono::milliseconds timeout = std::chrono::seconds(3));

    static void sendDatagram(std::uint16_t port, const std::string& payload);
    static bool isPing(const std::string& payload);

private:
    void run();
    void serve(int connection);
    void answerPing();

    const std::function<void(const std::string&)> m_Observe;
    int m_Listening = -1;
    std::atomic<int> m_Connection{-1};
    std::atomic<bool> m_Stopping{false};
    std::atomic<bool> m_Paused{false};
    std::atomic<int> m_Connections{0};
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Payloads;
    std::vector<std::int32_t> m_Pong;
    std::mutex m_SendMutex;
    std::thread m_Thread;
};
