#pragma once

#include "AudioReader.h"
#include "BatchWorker.h"
#include "WaveformCache.h"

#include <cstdint>
#include <memory>
#include <string>

namespace osc {
class OutboundPacketStream;
}
class ReceivedOscMessage;
class TabletSink;
class WaveformAnalyzer;

// The Live script's waveform requests for a clip ("/clip/reset_waveform") and
// for a Simpler device ("/device/simpler/reset_waveform"): the named audio
// file is loaded and analysed, and the replies go to every session. The
// series of recent files are kept, so that a repeated request for an
// unchanged file is answered at once, with the same bytes.
//
// A clip's reset bracket goes out as the request arrives (clipArrived), as
// an ordinary message; its series and closing bracket follow as bulk, handed
// on only as the tablets' links take them. Every bracket opened is closed.
class WaveformRequests {
public:
    // `analyzer` may be null: then no file can be loaded. `interrupted`
    // (which may be empty) abandons the request under way when it turns
    // true: a clip's bracket is closed as for a file that did not load.
    WaveformRequests(TabletSink& tablets, std::unique_ptr<WaveformAnalyzer> analyzer, Interrupt interrupted = {});
    ~WaveformRequests();
    WaveformRequests(const WaveformRequests&) = delete;
    WaveformRequests& operator=(const WaveformRequests&) = delete;

    // a1 a2 ...: the reset bracket, as the request arrives. Safe to call
    // while another thread answers a request.
    void clipArrived(const ReceivedOscMessage& message);
    // a1 a2 path start length: the two series when the file loads, then the
    // closing bracket with the refused format (if any).
    void clip(const ReceivedOscMessage& message);
    // a1 a2 a3 n, 2n values, path start length: four replies, each led by
    // a1 a2 a3 n and the values, only when the file loads.
    void simpler(const ReceivedOscMessage& message);
    // A clip request that will not be loaded at all (refused, or dropped
    // before its turn): its closing bracket. Safe to call while another
    // thread answers a request.
    void clipNotLoaded(const ReceivedOscMessage& message);

private:
    struct Loaded {
        std::shared_ptr<const WaveformSeries> series;  // null when the file did not load
        std::string refused;                           // the analyzer's unsupported format
    };

    Loaded load(const char* path, float start, float length);
    Loaded analyse(const char* path, float start, float length);
    // Ordinary: at once, ahead of any bulk.
    void send(const osc::OutboundPacketStream& stream);
    // Bulk: once every tablet has room; false (nothing sent) when abandoned meanwhile.
    bool sendBulk(const osc::OutboundPacketStream& stream);
    // Bulk without waiting: a closing reply that must follow what went before.
    void sendBulkNow(const osc::OutboundPacketStream& stream);
    enum class Lane { Ordinary, Bulk };
    void bracket(Lane lane, const char* address, std::int32_t a1, std::int32_t a2, const char* refused = nullptr);
    bool abandoned() const { return m_Interrupted && m_Interrupted(); }

    TabletSink& m_Tablets;
    std::unique_ptr<WaveformAnalyzer> m_Analyzer;
    Interrupt m_Interrupted;
    WaveformCache m_Cache;
    // Files are decoded on CPU time that Live and the relay leave over.
    BatchWorker m_Decoder;
};
