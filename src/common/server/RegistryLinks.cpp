#include "RegistryLinks.h"

#include "AbletonClientTCP.h"
#include "IpadServerThread.h"
#include "MeterUpdateThread.h"
#include "MidiPort.h"
#include "ReceivedOscMessage.h"
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
    const OutboundQueue::Frame frame = OutboundQueue::frame(message.EncodedData(), message.EncodedSize());
    if (IpadServerThread* wifi = _ipadSrvThread) wifi->TransmitMessage(frame, except);
    if (UsbServerThread* usb = _usbSrvThread) usb->TransmitMessage(frame, except);
}

void RegistryLinks::toEverySession(const char* payload, std::size_t length) {
    const OutboundQueue::Frame frame = OutboundQueue::frame(payload, length);
    if (IpadServerThread* wifi = _ipadSrvThread) wifi->SendData(frame);
    if (UsbServerThread* usb = _usbSrvThread) usb->SendData(frame);
}

void RegistryLinks::bundleStartOnEverySession() {
    if (IpadServerThread* wifi = _ipadSrvThread) wifi->StartBundle();
    if (UsbServerThread* usb = _usbSrvThread) usb->StartBundle();
}

void RegistryLinks::bundleEndOnEverySession() {
    if (IpadServerThread* wifi = _ipadSrvThread) wifi->EndBundle();
    if (UsbServerThread* usb = _usbSrvThread) usb->EndBundle();
}

SessionCounts RegistryLinks::sessionCounts() {
    SessionCounts counts;
    if (IpadServerThread* wifi = _ipadSrvThread) {
        counts.wifi = wifi->getClientCount();
        counts.connected += wifi->getConnectedClientCount();
    }
    if (UsbServerThread* usb = _usbSrvThread) {
        counts.usb = usb->getClientCount();
        counts.connected += usb->getConnectedClientCount();
    }
    return counts;
}

std::string RegistryLinks::usbComputerName() {
    if (UsbServerThread* usb = _usbSrvThread) return usb->computerName();
    return "USB";
}

// Each list is walked under its lock (SessionList::Monitor).
void RegistryLinks::livenessStep() {
    if (AbletonClientTCP* script = _abletonClientThread) script->Monitor();
    if (IpadServerThread* wifi = _ipadSrvThread) wifi->Monitor();
    if (UsbServerThread* usb = _usbSrvThread) usb->Monitor();
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
