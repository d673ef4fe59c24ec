#pragma once

#include <memory>

namespace osc {
class OutboundPacketStream;
}
class ReceivedOscMessage;
class ServerLinks;
class WaveformAnalyzer;

// The Live script's waveform requests for a clip ("/clip/reset_waveform") and
// for a Simpler device ("/device/simpler/reset_waveform"): the named audio
// file is loaded and analysed, and the replies go to every session.
class WaveformRequests {
public:
    // `analyzer` may be null: then no file can be loaded.
    WaveformRequests(ServerLinks& links, std::unique_ptr<WaveformAnalyzer> analyzer);
    ~WaveformRequests();
    WaveformRequests(const WaveformRequests&) = delete;
    WaveformRequests& operator=(const WaveformRequests&) = delete;

    // a1 a2 path start length: the reset bracket, the two series when the
    // file loads, then the closing bracket with the refused format (if any).
    void clip(const ReceivedOscMessage& message);
    // a1 a2 a3 n, 2n values, path start length: four replies, each led by
    // a1 a2 a3 n and the values, only when the file loads.
    void simpler(const ReceivedOscMessage& message);

private:
    const float* load(const char* path, float start, float length, long long& count);
    void send(const osc::OutboundPacketStream& stream);

    ServerLinks& m_Links;
    std::unique_ptr<WaveformAnalyzer> m_Analyzer;
};
