#include "MidiPort.h"

#include "Logger.h"
#include "ThreadMutex.h"

#include <mutex>

std::atomic<MidiPort*> MidiPort::_instance{nullptr};

namespace {

constexpr const char* kClientName = "MIDI Client";

CThreadMutex& creation() {
    static CThreadMutex lock;
    return lock;
}

}  // namespace

MidiPort* MidiPort::create(MidiSystem* system) {
    if (MidiPort* port = _instance.load(std::memory_order_acquire)) return port;
    std::lock_guard<CThreadMutex> lock(creation());
    if (_instance.load() == nullptr) _instance.store(new MidiPort(system), std::memory_order_release);
    return _instance.load();
}

MidiPort* MidiPort::getInstance() { return create(nullptr); }

void MidiPort::Cleanup() {
    std::lock_guard<CThreadMutex> lock(creation());
    delete _instance.exchange(nullptr);
}

MidiPort::MidiPort(MidiSystem* system) {
    // The MIDI system makes the client with its first source: the client's
    // status is that source's.
    if (system != nullptr) m_AppSource = system->createMidiSource(kClientName, "corviLane");
    CLogger::info("MidiClientCreate result=%d", m_AppSource ? 0 : -1);
    if (!m_AppSource) return;
    CLogger::info("MidiSourceCreate result=%d", 0);
    m_ScriptSource = system->createMidiSource(kClientName, "corviLane Script Input");
    CLogger::info("MidiSourceCreate result=%d", m_ScriptSource ? 0 : -1);
    if (!m_ScriptSource) m_AppSource.reset();
    m_Ready = m_ScriptSource != nullptr;
}

void MidiPort::SendCommand(const unsigned char* bytes, int length, bool script) {
    if (!m_Ready || bytes == nullptr || length <= 0) return;
    (script ? m_ScriptSource : m_AppSource)->send(bytes, static_cast<std::size_t>(length));
}

void MidiPort::SendScriptCue(unsigned char data) {
    const unsigned char cue[3] = {0xF0, data, 0xF7};
    SendCommand(cue, sizeof cue, true);
}
