#include "MidiPort.h"

#include "Logger.h"

MidiPort* MidiPort::_instance = nullptr;

namespace {

constexpr const char* kClientName = "MIDI Client";

}  // namespace

MidiPort* MidiPort::getInstance() {
    if (_instance == nullptr) _instance = new MidiPort();
    return _instance;
}

void MidiPort::Cleanup() {
    delete _instance;
    _instance = nullptr;
}

MidiPort::MidiPort() {
    const int client = VirtualMidiSource::probeClient(kClientName);
    CLogger::info("MidiClientCreate result=%d", client);
    if (client != 0) return;
    const int app = m_AppSource.open(kClientName, "corviLane");
    CLogger::info("MidiSourceCreate result=%d", app);
    if (app != 0) return;
    const int script = m_ScriptSource.open(kClientName, "corviLane Script Input");
    CLogger::info("MidiSourceCreate result=%d", script);
    m_Ready = script == 0;
}

void MidiPort::SendCommand(const unsigned char* bytes, int length, bool script) {
    if (!m_Ready || bytes == nullptr || length <= 0) return;
    (script ? m_ScriptSource : m_AppSource).send(bytes, static_cast<std::size_t>(length));
}

void MidiPort::SendScriptCue(unsigned char data) {
    const unsigned char cue[3] = {0xF0, data, 0xF7};
    SendCommand(cue, sizeof cue, true);
}
