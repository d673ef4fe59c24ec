#include "WaveformRequests.h"

#include "Console.h"
#include "Logger.h"
#include "ReceivedOscMessage.h"
#include "TabletSink.h"
#include "WakeBatch.h"
#include "WaveformAnalyzer.h"

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <exception>
#include <tuple>
#include <vector>

namespace {

constexpr std::size_t kReplySize = 4096;
constexpr std::size_t kWaveformReplySize = 262144;

// One series as a blob of little-endian floats, then the audio's duration.
void appendSeries(osc::OutboundPacketStream& out, const std::vector<float>& series, float duration) {
    out << osc::Blob(series.data(), static_cast<osc::osc_bundle_element_size_t>(series.size() * sizeof(float)))
        << duration;
}

}  // namespace

WaveformRequests::WaveformRequests(TabletSink& tablets, std::unique_ptr<WaveformAnalyzer> analyzer,
                                   Interrupt interrupted)
    : m_Tablets(tablets), m_Analyzer(std::move(analyzer)), m_Interrupted(std::move(interrupted)) {
    if (m_Analyzer) m_Analyzer->set_interrupt(m_Interrupted);
}

WaveformRequests::~WaveformRequests() = default;

// Each reply goes out at once: the analysis that may follow takes long.
void WaveformRequests::send(const osc::OutboundPacketStream& stream) {
    m_Tablets.toEvery(OutboundQueue::frame(stream.Data(), stream.Size()));
    WakeBatch::release();
}

bool WaveformRequests::sendBulk(const osc::OutboundPacketStream& stream) {
    if (!m_Tablets.waitForBulkRoom(m_Interrupted)) return false;
    sendBulkNow(stream);
    return true;
}

void WaveformRequests::sendBulkNow(const osc::OutboundPacketStream& stream) {
    m_Tablets.toEveryBulk(OutboundQueue::frame(stream.Data(), stream.Size()));
}

void WaveformRequests::bracket(Lane lane, const char* address, std::int32_t a1, std::int32_t a2,
                               const char* refused) {
    char buffer[kReplySize];
    osc::OutboundPacketStream out(buffer, sizeof buffer);
    out << osc::BeginMessage(address) << a1 << a2;
    if (refused != nullptr) out << refused;
    out << osc::EndMessage;
    if (lane == Lane::Ordinary) {
        send(out);
    } else {
        sendBulkNow(out);
    }
}

WaveformRequests::Loaded WaveformRequests::load(const char* path, float start, float length) {
    if (!m_Analyzer || path == nullptr) return {};
    try {
        if (const auto file = RegularFile::identify(path)) {
            if (auto series = m_Cache.find({*file, start, length})) return {std::move(series), {}};
        }
    } catch (const std::exception&) {
        // Not found in the cache, then.
    }
    return analyse(path, start, length);
}

WaveformRequests::Loaded WaveformRequests::analyse(const char* path, float start, float length) {
    try {
        WaveformAnalysis analysis;
        m_Decoder.run([&] { analysis = m_Analyzer->analyze_file(path, start, length); });
        if (!analysis.series) return {nullptr, analysis.unsupportedFormat};
        auto series = std::make_shared<WaveformSeries>(std::move(*analysis.series));
        m_Cache.store({analysis.identity, start, length}, series);
        return {std::move(series), {}};
    } catch (const std::exception& error) {
        CLogger::error("Waveform of %s not kept: %s", path, error.what());
        return {nullptr, {}};
    }
}

void WaveformRequests::clipArrived(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() == 0) return;
    osc::int32 a1 = 0;
    osc::int32 a2 = 0;
    message.ArgumentStream() >> a1 >> a2;
    bracket(Lane::Ordinary, "/clip/reset_waveform", a1, a2);
}

// The bracket opened on arrival is always closed, behind whatever of the
// series went out: an abandoned request (the script went, the server stops)
// sends no more series, but its closing bracket.
void WaveformRequests::clip(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() == 0) return;
    osc::int32 a1 = 0;
    osc::int32 a2 = 0;
    const char* path = nullptr;
    float start = 0;
    float fraction = 0;
    message.ArgumentStream() >> a1 >> a2 >> path >> start >> fraction;

    const Loaded loaded = abandoned() ? Loaded{} : load(path, start, fraction);
    if (const WaveformSeries* series = loaded.series.get()) {
        std::vector<char> buffer(kWaveformReplySize);
        osc::OutboundPacketStream wave(buffer.data(), buffer.size());
        wave << osc::BeginMessage("/clip/update_waveform") << a1 << a2;
        appendSeries(wave, series->waveform, series->duration);
        wave << osc::EndMessage;
        if (sendBulk(wave)) {
            osc::OutboundPacketStream intensity(buffer.data(), buffer.size());
            intensity << osc::BeginMessage("/clip/update_waveform_intensity") << a1 << a2;
            appendSeries(intensity, series->intensity, series->duration);
            intensity << osc::EndMessage;
            sendBulk(intensity);
        }
    } else if (!abandoned()) {
        Console::print("no audio data found: %s\n", path);
    }
    bracket(Lane::Bulk, "/clip/updated_waveform", a1, a2, loaded.refused.c_str());
}

void WaveformRequests::clipNotLoaded(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() == 0) return;
    osc::int32 a1 = 0;
    osc::int32 a2 = 0;
    message.ArgumentStream() >> a1 >> a2;
    bracket(Lane::Ordinary, "/clip/updated_waveform", a1, a2, "");
}

void WaveformRequests::simpler(const ReceivedOscMessage& message) {
    if (message.ArgumentCount() == 0 || abandoned()) return;
    osc::int32 ids[3] = {0, 0, 0};
    osc::int32 n = 0;
    auto arguments = message.ArgumentStream();
    arguments >> ids[0] >> ids[1] >> ids[2] >> n;
    // The pair list is taken from what the message really carries: a count
    // that claims more values than follow is refused, never trusted.
    const std::int64_t values = n > 0 ? 2 * static_cast<std::int64_t>(n) : 0;
    if (values > static_cast<std::int64_t>(message.ArgumentCount()) - 7) {
        CLogger::error("Simpler waveform request with %d pairs but %u arguments: dropped", n,
                       message.ArgumentCount());
        return;
    }
    std::vector<osc::int32> pairs(static_cast<std::size_t>(values));
    for (auto& value : pairs) arguments >> value;
    const char* path = nullptr;
    float start = 0;
    float fraction = 0;
    arguments >> path >> start >> fraction;

    const Loaded loaded = load(path, start, fraction);
    const WaveformSeries* series = loaded.series.get();
    if (series == nullptr) return;

    // Each value takes 4 bytes and a type tag: the replies grow with the list.
    const std::size_t listBytes = pairs.size() * 5 + 8;
    std::vector<char> buffer(kWaveformReplySize + listBytes);
    auto begin = [&](osc::OutboundPacketStream& out, const char* address) {
        out << osc::BeginMessage(address) << ids[0] << ids[1] << ids[2] << n;
        for (osc::int32 value : pairs) out << value;
    };
    {
        osc::OutboundPacketStream reset(buffer.data(), kReplySize + listBytes);
        begin(reset, "/device/simpler/reset_waveform");
        reset << static_cast<osc::int32>(series->count) << osc::EndMessage;
        if (!sendBulk(reset)) return;
    }
    // The two series, each with the console line that gives its reply's size.
    const std::tuple<const char*, const std::vector<float>*, const char*> replies[] = {
        {"/device/simpler/update_waveform", &series->waveform, ""},
        {"/device/simpler/update_waveform_intensity", &series->intensity, "2"}};
    for (const auto& [address, floats, suffix] : replies) {
        osc::OutboundPacketStream reply(buffer.data(), buffer.size());
        begin(reply, address);
        appendSeries(reply, *floats, series->duration);
        reply << osc::EndMessage;
        Console::print("message length%s: %d\n", suffix, static_cast<int>(reply.Size()));
        if (!sendBulk(reply)) break;
    }
    // The reset went out, so the closing reply follows whatever happened since.
    osc::OutboundPacketStream updated(buffer.data(), kReplySize + listBytes);
    begin(updated, "/device/simpler/updated_waveform");
    updated << osc::EndMessage;
    sendBulkNow(updated);
}
