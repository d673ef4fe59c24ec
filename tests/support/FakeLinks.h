#pragma once

#include "ReceivedOscMessage.h"
#include "ServerLinks.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// ServerLinks for unit tests: records every call as one line of text and
// every payload sent to the sessions, and answers with what the test sets.
class FakeLinks : public ServerLinks {
public:
    struct Delivery {
        std::string to;  // "connected", "every" or "bulk"
        std::string payload;
        const BaseClientThread* except = nullptr;
        bool operator==(const Delivery&) const = default;
    };

    ScriptStatus status;
    SessionCounts counts;
    bool live = false;
    std::string host = "USB";
    bool studio = false;
    std::atomic<bool> scriptFull{false};
    std::atomic<bool> tabletsFull{false};

    void toScript(const ReceivedOscMessage& message) override {
        record("toScript", std::string(message.EncodedData(), message.EncodedSize()));
    }
    void scriptStartLoad() override { record("scriptStartLoad"); }
    void scriptBundleStart() override { record("scriptBundleStart"); }
    void scriptBundleEnd() override { record("scriptBundleEnd"); }
    ScriptStatus scriptStatus() override { return status; }
    bool liveRunning() override { return live; }
    void setScriptPort(int port) override { record("setScriptPort " + std::to_string(port)); }

    void toConnectedSessions(const ReceivedOscMessage& message, const BaseClientThread* except) override {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Deliveries.push_back({"connected", std::string(message.EncodedData(), message.EncodedSize()), except});
    }
    void toEverySession(const char* payload, std::size_t length) override {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Deliveries.push_back({"every", std::string(payload, length), nullptr});
    }
    bool waitForBulkRoom(const std::function<bool()>& abandoned) override {
        record("waitForBulkRoom");
        return !(abandoned && abandoned());
    }
    void bulkToEverySession(const char* payload, std::size_t length) override {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Deliveries.push_back({"bulk", std::string(payload, length), nullptr});
    }
    void bundleStartOnEverySession() override { record("bundleStart"); }
    void bundleEndOnEverySession() override { record("bundleEnd"); }
    SessionCounts sessionCounts() override { return counts; }
    std::vector<TabletStatus> tablets() override { return {}; }
    std::string usbComputerName() override { return host; }
    void livenessStep() override { record("livenessStep"); }
    bool scriptBacklogged() override { return scriptFull; }
    bool sessionsBacklogged(const BaseClientThread*) override { return tabletsFull; }
    void roomFreed() override {}

    void sendMidi(const unsigned char* bytes, int count) override {
        std::string text = "sendMidi";
        for (int i = 0; i < count; ++i) text += " " + std::to_string(bytes[i]);
        record(text);
    }
    void cueScript(unsigned char data) override { record("cueScript " + std::to_string(data)); }
    bool midiReady() override { return false; }
    bool studioMode() override { return studio; }
    void setStudioMode(bool on) override { studio = on; }
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
        if (!payload.empty()) m_ScriptPayloads.push_back(payload);
    }

public:
    std::vector<std::string> scriptPayloads() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_ScriptPayloads;
    }

private:
    std::mutex m_Lock;
    std::vector<std::string> m_Calls;
    std::vector<Delivery> m_Deliveries;
    std::vector<std::string> m_ScriptPayloads;
};
