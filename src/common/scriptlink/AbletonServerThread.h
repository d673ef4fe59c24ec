#pragma once

#include "OscPacketDispatcher.h"
#include "Thread.h"

#include <atomic>
#include <cstdint>

class ServerLinks;

// Receives the Live script's OSC datagrams on UDP port 9111: its port report
// (in a pong), its console lines, which go on to the tablets, and bundle
// brackets, which become bundle starts and ends on every session.
class AbletonServerThread : public CThread, public OscPacketDispatcher {
public:
    static constexpr std::uint16_t kPort = 9111;

    explicit AbletonServerThread(ServerLinks& links, std::uint16_t port = kPort);
    ~AbletonServerThread() override;

    void Work() override;
    // Also wakes a blocked receive.
    void Stop() override;

    int getReportedPort() const { return m_ReportedPort; }

protected:
    // Port reports and console lines.
    void ProcessMessage(const ReceivedOscMessage& message, const sockaddr_in& origin) override;
    // A bundle's start and end, to every session.
    void BundleStart(const osc::ReceivedBundle& bundle, const sockaddr_in& origin) override;
    void BundleEnd(const osc::ReceivedBundle& bundle, const sockaddr_in& origin) override;

private:
    ServerLinks& m_Links;
    std::atomic<int> m_Socket{0};
    std::atomic<int> m_ReportedPort{9008};
};
