#pragma once

#include "ServerLinks.h"

// The server's own wiring of ServerLinks: every call goes to the long-lived
// objects of the thread registry, each of which may be absent.
class RegistryLinks final : public ServerLinks {
public:
    static RegistryLinks& instance();

    void toScript(const ReceivedOscMessage& message) override;
    void scriptStartLoad() override;
    void scriptBundleStart() override;
    void scriptBundleEnd() override;
    ScriptStatus scriptStatus() override;
    bool liveRunning() override;
    void setScriptPort(int port) override;

    void toConnectedSessions(const ReceivedOscMessage& message, const BaseClientThread* except) override;
    void toEverySession(const char* payload, std::size_t length) override;
    void bundleStartOnEverySession() override;
    void bundleEndOnEverySession() override;
    bool waitForBulkRoom(const std::function<bool()>& abandoned) override;
    void bulkToEverySession(const char* payload, std::size_t length) override;
    SessionCounts sessionCounts() override;
    std::vector<TabletStatus> tablets() override;
    std::string usbComputerName() override;
    void livenessStep() override;

    bool scriptBacklogged() override;
    bool sessionsBacklogged(const BaseClientThread* except) override;
    void roomFreed() override;

    void sendMidi(const unsigned char* bytes, int count) override;
    void cueScript(unsigned char data) override;
    bool midiReady() override;
    bool studioMode() override;
    void setStudioMode(bool on) override;
    void requestShutdown() override;
};
