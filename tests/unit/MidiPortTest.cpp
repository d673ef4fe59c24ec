// The MIDI port over a MIDI system that counts the sources asked of it and makes none.
#include "Logger.h"
#include "MidiCues.h"
#include "MidiPort.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// No MIDI sources; counts how often one was asked for.
class CountingMidi : public MidiSystem {
public:
    std::atomic<int> sources{0};
    std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string&, const std::string&) override {
        ++sources;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow MIDI system
        return nullptr;
    }
};

TEST(MidiPortTest, IsMadeOnceForEveryThreadAndWithoutAMidiSystemSendsNothing) {
    TempDir dir;
    CLogger::init(dir.file("midi.log").c_str(), 2048);
    CountingMidi midi;
    std::vector<MidiPort*> seen(8);
    std::vector<std::thread> askers;
    for (auto& port : seen) askers.emplace_back([&port, &midi] { port = MidiPort::create(&midi); });
    for (auto& asker : askers) asker.join();
    EXPECT_EQ(midi.sources, 1);
    EXPECT_EQ(MidiPort::getInstance(), seen.front());
    for (MidiPort* port : seen) EXPECT_EQ(port, seen.front());
    EXPECT_FALSE(seen.front()->isReady());
    const unsigned char note[3] = {0x90, 0x3C, 0x7F};
    seen.front()->SendCommand(note, 3, false);
    seen.front()->SendScriptCue(0x01);
    MidiPort::Cleanup();
    EXPECT_EQ(MidiPort::_instance.load(), nullptr);
    CLogger::finish();
    EXPECT_NE(readFile(dir.file("midi.log")).find(" INFO MidiClientCreate result=-1\n"), std::string::npos);
}

// Sources that write what they are sent into one list, named by source.
class RecordingMidi : public MidiSystem {
public:
    std::vector<std::string> sent;
    std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string&, const std::string& name) override {
        struct Source : VirtualMidiSource {
            RecordingMidi& midi;
            std::string name;
            Source(RecordingMidi& m, std::string n) : midi(m), name(std::move(n)) {}
            void send(const unsigned char* bytes, std::size_t length) override {
                midi.sent.push_back(name + " " + std::string(reinterpret_cast<const char*>(bytes), length));
            }
        };
        return std::make_unique<Source>(*this, name);
    }
};

// A tablet's MIDI goes to the tablets' source; the cues go to the script's
// source, and studio mode silences the cues only.
TEST(MidiPortTest, StudioModeSilencesTheCuesAndNotTheTabletsMidi) {
    TempDir dir;
    CLogger::init(dir.file("midi.log").c_str(), 2048);
    RecordingMidi midi;
    MidiPort::create(&midi);
    MidiCues cues;
    const unsigned char note[3] = {0x90, 0x3C, 0x7F};
    cues.cueScript(0x01);
    cues.setStudioMode(true);
    cues.cueScript(0x02);
    cues.tabletMidi(note, 3);
    cues.setStudioMode(false);
    cues.cueScript(0x02);
    MidiPort::Cleanup();
    CLogger::finish();
    EXPECT_EQ(midi.sent, (std::vector<std::string>{"corviLane Script Input \xF0\x01\xF7", "corviLane \x90\x3C\x7F",
                                                   "corviLane Script Input \xF0\x02\xF7"}));
}

}  // namespace
