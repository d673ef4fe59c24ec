#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class BaseClientThread;
class ReceivedOscMessage;

// What the Live script is known to be, as the tablets' state replies give it.
struct ScriptStatus {
    int version = 0;         // the first argument of the script's last pong; 0 before any
    bool available = false;  // its last pong is less than 10 seconds old
    int info[3] = {0, 0, 0};
};

struct SessionCounts {
    std::size_t wifi = 0;       // Wi-Fi sessions, confirmed or not
    std::size_t usb = 0;        // USB sessions, confirmed or not
    std::size_t connected = 0;  // sessions of either kind the tablet has confirmed
    bool operator==(const SessionCounts&) const = default;
};

// One tablet as the status menu and the check show it.
struct TabletStatus {
    std::string name;      // what it said its name was ("/device_name"); empty: nothing yet
    bool usb = false;      // on the cable, else on Wi-Fi
    std::string address;   // Wi-Fi: its address; USB: the device's identifier
    int roundTripMs = -1;  // from its answers to the pings; -1: none yet
    bool slowLink = false; // its answers lag more than 200 ms
    bool operator==(const TabletStatus&) const = default;
};

// Everything a session, the script connection, the script's UDP listener, the
// monitor and meter threads and the status menu need of the rest of the
// server. The server wires the production implementation (which reads the
// thread registry); tests pass fakes.
//
// "Every session" means every session of every kind: the Wi-Fi sessions
// first, then the USB sessions.
class ServerLinks {
public:
    virtual ~ServerLinks() = default;

    // The Live script connection.
    virtual void toScript(const ReceivedOscMessage& message) = 0;
    virtual void scriptStartLoad() = 0;
    virtual void scriptBundleStart() = 0;
    virtual void scriptBundleEnd() = 0;
    // Also records the availability it computes, as every reader of it does.
    virtual ScriptStatus scriptStatus() = 0;
    // Whether Live runs on this computer (the process table, read at most
    // once a second).
    virtual bool liveRunning() = 0;
    virtual void setScriptPort(int port) = 0;

    // The fan-outs.
    // The message's bytes as received, to every confirmed session but `except`.
    virtual void toConnectedSessions(const ReceivedOscMessage& message, const BaseClientThread* except) = 0;
    // One frame with this payload to every session, confirmed or not.
    virtual void toEverySession(const char* payload, std::size_t length) = 0;
    // The start (an empty bundle) and the end (nothing) of a group, to every session.
    virtual void bundleStartOnEverySession() = 0;
    virtual void bundleEndOnEverySession() = 0;
    // Bulk (waveform replies): queued behind every session's ordinary frames,
    // confirmed or not. The producer first waits for room: until every
    // session has little bulk waiting; false when `abandoned` turns true.
    virtual bool waitForBulkRoom(const std::function<bool()>& abandoned) = 0;
    virtual void bulkToEverySession(const char* payload, std::size_t length) = 0;
    virtual SessionCounts sessionCounts() = 0;
    // The tablets that confirmed their sessions, Wi-Fi first.
    virtual std::vector<TabletStatus> tablets() = 0;
    // What "/host_name" answers: the computer's name as the USB device
    // watcher keeps it, or "USB" without a watcher.
    virtual std::string usbComputerName() = 0;
    // One liveness step: the script is pinged, every confirmed session is
    // pinged and every silent one dropped.
    virtual void livenessStep() = 0;

    // Flow control: a sender that can wait (a tablet) is read no further
    // while those it sends to have too much waiting.
    virtual bool scriptBacklogged() = 0;
    // Whether a confirmed session other than `except` is backlogged.
    virtual bool sessionsBacklogged(const BaseClientThread* except) = 0;
    // Room was made on some stream: the senders waiting for it go on.
    virtual void roomFreed() = 0;

    // MIDI and the process.
    // A tablet's MIDI message, on the source Live reads as the tablets' input.
    virtual void sendMidi(const unsigned char* bytes, int count) = 0;
    // The cue F0 `data` F7 to the Live script, unless studio mode is on.
    virtual void cueScript(unsigned char data) = 0;
    // Whether the MIDI sources are published.
    virtual bool midiReady() = 0;
    // Studio mode silences the cues to the script.
    virtual bool studioMode() = 0;
    virtual void setStudioMode(bool on) = 0;
    // Ends the service (a tablet's "/server/shutdown").
    virtual void requestShutdown() = 0;
};
