#pragma once

#include "OscPacketDispatcher.h"
#include "ScriptProtocol.h"
#include "Thread.h"

#include <atomic>
#include <cstdint>

// Receives the Live script's OSC datagrams on UDP port 9111: its port report
// (in a pong) into `state`, its console lines, which go on to the tablets, and
// bundle brackets, which become bundle starts on every session.
// (Its name and its log texts are kept as they are known: docs/kept-names.md.)
class AbletonServerThread : public CThread, public OscPacketDispatcher {
public:
    static constexpr std::uint16_t kPort = 9111;

    AbletonServerThread(ScriptState& state, TabletSink& tablets, std::uint16_t port = kPort);
    ~AbletonServerThread() override;

    void Work() override;
    // Also wakes a blocked receive.
    void Stop() override;

protected:
    // Port reports and console lines (ScriptProtocol::datagrams).
    void ProcessMessage(const ReceivedOscMessage& message) override;
    // A bundle's start goes to every session; its end is not signalled.
    void BundleStart(const osc::ReceivedBundle& bundle) override;
    void BundleEnd(const osc::ReceivedBundle& bundle) override;

private:
    DatagramContext m_Context;  // the receiving thread's only
    std::atomic<int> m_Socket{0};
};
