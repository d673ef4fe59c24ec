// The MIDI port over a platform that has no MIDI system or that counts its
// clients.
#include "Logger.h"
#include "MidiPort.h"
#include "WaveformAnalyzer.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// No MIDI system; counts how often a client was asked for. The rest is the
// bare platform's.
class CountingPlatform : public Platform {
public:
    explicit CountingPlatform(Platform& bare) : m_Bare(bare) {}
    std::atomic<int> clients{0};
    int createMidiClient(const std::string&) override {
        ++clients;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow MIDI system
        return -1;
    }
    std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string&, const std::string&) override {
        return nullptr;
    }
    DnsSdAdvertiser& dnsSd() override { return m_Bare.dnsSd(); }
    std::unique_ptr<LiveChecker> makeLiveChecker() override { return nullptr; }
    std::unique_ptr<WaveformAnalyzer> makeAnalyzer() override { return nullptr; }
    UsbDeviceLibrary& usbDevices() override { return m_Bare.usbDevices(); }
    std::string computerName() override { return {}; }

private:
    Platform& m_Bare;
};

TEST(MidiPortTest, IsMadeOnceForEveryThreadAndWithoutAMidiSystemSendsNothing) {
    TempDir dir;
    CLogger::init(dir.file("midi.log").c_str(), 2048);
    Platform::install(nullptr);
    CountingPlatform platform(Platform::current());
    Platform::install(&platform);
    std::vector<MidiPort*> seen(8);
    std::vector<std::thread> askers;
    for (auto& port : seen) askers.emplace_back([&port] { port = MidiPort::getInstance(); });
    for (auto& asker : askers) asker.join();
    EXPECT_EQ(platform.clients, 1);
    for (MidiPort* port : seen) EXPECT_EQ(port, seen.front());
    EXPECT_FALSE(seen.front()->isReady());
    const unsigned char note[3] = {0x90, 0x3C, 0x7F};
    seen.front()->SendCommand(note, 3, false);
    seen.front()->SendScriptCue(0x01);
    MidiPort::Cleanup();
    EXPECT_EQ(MidiPort::_instance.load(), nullptr);
    Platform::install(nullptr);
    CLogger::finish();
    EXPECT_NE(readFile(dir.file("midi.log")).find(" INFO MidiClientCreate result=-1\n"), std::string::npos);
}

}  // namespace
