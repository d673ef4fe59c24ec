#pragma once

#include "Cues.h"
#include "FramedConnection.h"
#include "Monitored.h"
#include "OscPacketDispatcher.h"
#include "ScriptProtocol.h"
#include "ScriptSink.h"
#include "TabletRoster.h"
#include "Thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class WaveformAnalyzer;
class WaveformQueue;

// The server's one connection to the Live script: finds the script's TCP port
// (9008..9017), reads its frames and hands each message to the script's
// vocabulary (ScriptProtocol), and writes what the rest of the server sends
// the script. Every frame written is followed by the MIDI cue F0 01 F7 on the
// script's MIDI source, unless studio mode is on.
// (Its name and its terminal texts are kept as they are known: docs/kept-names.md.)
class AbletonClientTCP : public CThread,
                         public OscPacketDispatcher,
                         public ScriptSink,
                         public Monitored,
                         private FramedConnection::Handler {
public:
    static constexpr int kBasePort = ScriptState::kBasePort;
    static constexpr int kPortCount = 10;
    // Above this many bytes waiting for the script, the tablets that send to
    // it are read no further until it has caught up: Live may pause for
    // seconds (loading a set), and its connection is never dropped for that.
    static constexpr std::size_t kBacklogMark = 1u << 20;
    // What may wait at most: the tablets stop well before, so only a fault
    // reaches it; then the message is dropped, and the log says so.
    static constexpr std::size_t kQueueLimit = 64u << 20;

    // What the script says is kept in `state`; its messages go on to
    // `tablets`; full state is asked for only while `roster` has a confirmed
    // tablet; `cues` tells the script of every frame; `analyzer` (which may
    // be null) loads the requested audio files.
    AbletonClientTCP(ScriptState& state, TabletSink& tablets, TabletRoster& roster, Cues& cues,
                     std::unique_ptr<WaveformAnalyzer> analyzer, int basePort = kBasePort);
    ~AbletonClientTCP() override;

    void Work() override;
    // Also wakes a blocked read or connection wait.
    void Stop() override;

    void PerformDisconnect(bool pause);

    // To the script (ScriptSink). No caller ever waits for the script.
    void TransmitMessage(const ReceivedOscMessage& message) override;
    void StartLoad() override;
    void StartBundle() override;
    bool backlogged() override { return m_Connection.backlogged(); }
    // The liveness ping, every 200 ms.
    void Monitor() override;

    bool isConnected() const { return m_Connected; }

protected:
    void ProcessMessage(const ReceivedOscMessage& message) override;

private:
    bool connectToScript();
    void idleStep();
    bool connectOrStop(int socket, const sockaddr_in& address);
    void exchange();
    void lost(const FramedConnection::Outcome& outcome);

    // The connection's handler.
    void frameArrived(std::string_view payload) override;
    bool serving() override { return isRunning(); }

    // Queues one frame for the script, cued once the stream takes it.
    void send(const char* data, std::size_t length);
    void poke(std::size_t frames = 1);
    void tellDropped(const char* why, std::size_t frames, std::size_t bytes);

    ScriptState& m_State;
    TabletRoster& m_Roster;
    Cues& m_Cues;
    const int m_BasePort;
    int m_PortOffset = 0;
    int m_ConnectFailures = 0;
    int m_PortsTried = 0;  // ports given up on since the last connection
    bool m_Idle = false;   // no listener on any port: rounds slowed down
    std::atomic<bool> m_Connected{false};
    std::unique_ptr<WaveformQueue> m_Waveforms;  // answered on a worker of their own
    ScriptContext m_Context;                     // what the script's messages act on

    // Every frame the script's stream takes is cued.
    FramedConnection m_Connection;
};
