#pragma once

#include "Cues.h"
#include "FrameHeader.h"
#include "ReceivedOscMessage.h"
#include "ScriptSink.h"
#include "ScriptStatusSource.h"
#include "ServiceControl.h"
#include "TabletProtocol.h"
#include "TabletRoster.h"
#include "TabletSink.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Every role a session or the script's routes reach, for unit tests: records
// each call as one line of text and each frame sent to the tablets, and
// answers with what the test sets.
class FakeRoles : public ScriptSink,
                  public TabletSink,
                  public TabletRoster,
                  public ScriptStatusSource,
                  public Cues,
                  public ServiceControl {
public:
    struct Delivery {
        std::string to;  // "connected", "every" or "bulk"
        std::string payload;
        const TabletSession* except = nullptr;
        bool operator==(const Delivery&) const = default;
    };

    ScriptStatus status;
    SessionCounts sessions;
    bool live = false;
    std::string host = "USB";
    std::atomic<bool> scriptFull{false};
    std::atomic<bool> tabletsFull{false};

    // What a session is handed; the host name as the test set it last.
    TabletPeers& peers() {
        m_Peers.hostName = host;
        return m_Peers;
    }

    void TransmitMessage(const ReceivedOscMessage& message) override {
        record("toScript", std::string(message.EncodedData(), message.EncodedSize()));
    }
    void StartLoad() override { record("scriptStartLoad"); }
    void StartBundle() override { record("scriptBundleStart"); }
    bool backlogged() override { return scriptFull; }

    void toConnected(const Frame& frame, const TabletSession* except) override { deliver("connected", frame, except); }
    void toEvery(const Frame& frame) override { deliver("every", frame); }
    void bundleStart() override { record("bundleStart"); }
    bool waitForBulkRoom(const Abandoned& abandoned) override {
        record("waitForBulkRoom");
        return !(abandoned && abandoned());
    }
    void toEveryBulk(const Frame& frame) override { deliver("bulk", frame); }
    bool backlogged(const TabletSession*) override { return tabletsFull; }
    void roomFreed() override {}

    SessionCounts counts() override { return sessions; }
    std::vector<TabletStatus> tablets() override { return {}; }
    ScriptStatus scriptStatus() override { return status; }
    bool liveRunning() override { return live; }

    void tabletMidi(const unsigned char* bytes, int count) override {
        std::string text = "sendMidi";
        for (int i = 0; i < count; ++i) text += " " + std::to_string(bytes[i]);
        record(text);
    }
    void cueScript(unsigned char data) override { record("cueScript " + std::to_string(data)); }
    bool midiReady() override { return false; }
    bool studioMode() const override { return false; }
    void setStudioMode(bool) override {}
    void requestShutdown() override { record("requestShutdown"); }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Calls;
    }
    std::vector<Delivery> deliveries() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Deliveries;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Calls.clear();
        m_Deliveries.clear();
    }

private:
    void record(const std::string& call, const std::string& payload = {}) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Calls.push_back(payload.empty() ? call : call + " " + std::to_string(payload.size()) + " bytes");
    }
    void deliver(const char* to, const Frame& frame, const TabletSession* except = nullptr) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Deliveries.push_back({to, frame->substr(FrameHeader::kSize), except});
    }

    TabletPeers m_Peers{*this, *this, *this, *this, *this, *this, host};
    std::mutex m_Lock;
    std::vector<std::string> m_Calls;
    std::vector<Delivery> m_Deliveries;
};
