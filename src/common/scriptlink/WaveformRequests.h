#pragma once

#include "AudioReader.h"
#include "WaveformCache.h"

#include <memory>
#include <string>

namespace osc {
class OutboundPacketStream;
}
class ReceivedOscMessage;
class ServerLinks;
class WaveformAnalyzer;

// The Live script's waveform requests for a clip ("/clip/reset_waveform") and
// for a Simpler device ("/device/simpler/reset_waveform"): the named audio
// file is loaded and analysed, and the replies go to every session. The
// series of recent files are kept, so that a repeated request for an
// unchanged file is answered at once, with the same bytes.
class WaveformRequests {
public:
    // `analyzer` may be null: then no file can be loaded. `interrupted`
    // (which may be empty) abandons a load under way when it turns true.
    WaveformRequests(ServerLinks& links, std::unique_ptr<WaveformAnalyzer> analyzer, Interrupt interrupted = {});
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
    struct Loaded {
        std::shared_ptr<const WaveformSeries> series;  // null when the file did not load
        std::string refused;                           // the analyzer's unsupported format
    };

    Loaded load(const char* path, float start, float length);
    Loaded analyse(const char* path, float start, float length);
    void send(const osc::OutboundPacketStream& stream);

    ServerLinks& m_Links;
    std::unique_ptr<WaveformAnalyzer> m_Analyzer;
    WaveformCache m_Cache;
};
