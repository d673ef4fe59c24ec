#include "RegistryLinks.h"

#include "AbletonClientTCP.h"
#include "IpadServerThread.h"
#include "MeterUpdateThread.h"
#include "MidiPort.h"
#include "ReceivedOscMessage.h"
#include "SessionHub.h"
#include "UsbServerThread.h"
#include "corviLaneServer.h"

RegistryLinks& RegistryLinks::instance() {
    static RegistryLinks links;
    return links;
}

void RegistryLinks::toScript(const ReceivedOscMessage& message) {
    if (AbletonClientTCP* script = _abletonClientThread) script->TransmitMessage(message);
}

void RegistryLinks::scriptStartLoad() {
    if (AbletonClientTCP* script = _abletonClientThread) script->StartLoad();
}

void RegistryLinks::scriptBundleStart() {
    if (AbletonClientTCP* script = _abletonClientThread) script->StartBundle();
}

void RegistryLinks::scriptBundleEnd() {
    if (AbletonClientTCP* script = _abletonClientThread) script->EndBundle();
}

ScriptStatus RegistryLinks::scriptStatus() {
    ScriptStatus status;
    AbletonClientTCP* script = _abletonClientThread;
    if (script == nullptr) return status;
    status.version = script->getScriptVersion();
    status.available = script->isAvailable();
    script->getScriptInfo(status.info);
    return status;
}

bool RegistryLinks::liveRunning() {
    AbletonClientTCP* script = _abletonClientThread;
    return script != nullptr && script->liveIsRunning();
}

void RegistryLinks::setScriptPort(int port) {
    if (AbletonClientTCP* script = _abletonClientThread) script->setPort(static_cast<unsigned>(port));
}

// One shared frame for the sessions of every kind.
void RegistryLinks::toConnectedSessions(const ReceivedOscMessage& message, const BaseClientThread* except) {
    if (SessionHub* hub = _sessionHub) {
        hub->toConnected(OutboundQueue::frame(message.EncodedData(), message.EncodedSize()), except);
    }
}

void RegistryLinks::toEverySession(const char* payload, std::size_t length) {
    if (SessionHub* hub = _sessionHub) hub->toEvery(OutboundQueue::frame(payload, length));
}

void RegistryLinks::bundleStartOnEverySession() {
    if (SessionHub* hub = _sessionHub) hub->bundleStart();
}

// The end of a group is not signalled to the tablets.
void RegistryLinks::bundleEndOnEverySession() {}

bool RegistryLinks::waitForBulkRoom(const std::function<bool()>& abandoned) {
    SessionHub* hub = _sessionHub;
    return hub != nullptr && hub->waitForBulkRoom(abandoned);
}

void RegistryLinks::bulkToEverySession(const char* payload, std::size_t length) {
    if (SessionHub* hub = _sessionHub) hub->toEveryBulk(OutboundQueue::frame(payload, length));
}

SessionCounts RegistryLinks::sessionCounts() {
    SessionHub* hub = _sessionHub;
    return hub != nullptr ? hub->counts() : SessionCounts{};
}

std::vector<TabletStatus> RegistryLinks::tablets() {
    SessionHub* hub = _sessionHub;
    return hub != nullptr ? hub->tablets() : std::vector<TabletStatus>{};
}

std::string RegistryLinks::usbComputerName() {
    if (UsbServerThread* usb = _usbSrvThread) return usb->computerName();
    return "USB";
}

void RegistryLinks::livenessStep() {
    if (AbletonClientTCP* script = _abletonClientThread) script->Monitor();
    if (SessionHub* hub = _sessionHub) hub->monitor();
}

bool RegistryLinks::scriptBacklogged() {
    AbletonClientTCP* script = _abletonClientThread;
    return script != nullptr && script->backlogged();
}

bool RegistryLinks::sessionsBacklogged(const BaseClientThread* except) {
    SessionHub* hub = _sessionHub;
    return hub != nullptr && hub->backlogged(except);
}

void RegistryLinks::roomFreed() {
    if (SessionHub* hub = _sessionHub) hub->roomFreed();
}

void RegistryLinks::sendMidi(const unsigned char* bytes, int count) {
    MidiPort::getInstance()->SendCommand(bytes, count, false);
}

void RegistryLinks::cueScript(unsigned char data) {
    if (studioMode()) return;
    MidiPort::getInstance()->SendScriptCue(data);
}

bool RegistryLinks::midiReady() { return MidiPort::getInstance()->isReady(); }

bool RegistryLinks::studioMode() {
    MeterUpdateThread* meter = _meterThread;
    return meter != nullptr && meter->b_StudioMode;
}

void RegistryLinks::setStudioMode(bool on) {
    if (MeterUpdateThread* meter = _meterThread) meter->b_StudioMode = on;
}

void RegistryLinks::requestShutdown() { daemonRunning = false; }
