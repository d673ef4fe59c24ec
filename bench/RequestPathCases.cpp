#include "RequestPathCases.h"

#include "FakeRoles.h"
#include "LinuxAnalyzer.h"
#include "WaveformAnalyzer.h"
#include "WaveformRequests.h"

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

namespace requestpath {

namespace {

// A request for a file that may well not load: answered whatever the outcome.
int anyRequest(const std::string& path) {
    FakeRoles links;
    WaveformRequests requests(links, makeLinuxAnalyzer());
    std::vector<char> buffer(4096);
    osc::OutboundPacketStream request(buffer.data(), buffer.size());
    request << osc::BeginMessage("/clip/reset_waveform") << 1 << 2 << path.c_str() << 0.0f << 1.0f << osc::EndMessage;
    const ReceivedOscMessage message(osc::ReceivedPacket(request.Data(), request.Size()));
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return childrun::timed([&] {
        requests.clipArrived(message);
        requests.clip(message);
        return links.deliveries().size() >= 2 ? 0 : 1;
    });
}

}  // namespace

// What the Live script sends for a clip, answered through the server's
// request handling as the script connection does.
int clipRequest(const std::string& path, const std::string& before) {
    FakeRoles links;
    WaveformRequests requests(links, makeLinuxAnalyzer());
    auto ask = [&](const std::string& file) {
        std::vector<char> buffer(4096);
        osc::OutboundPacketStream request(buffer.data(), buffer.size());
        request << osc::BeginMessage("/clip/reset_waveform") << 1 << 2 << file.c_str() << 0.0f << 1.0f
                << osc::EndMessage;
        const ReceivedOscMessage message(osc::ReceivedPacket(request.Data(), request.Size()));
        links.clear();
        requests.clipArrived(message);
        requests.clip(message);
        return links.deliveries().size() == 4 ? 0 : 1;
    };
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    if (!before.empty() && ask(before) != 0) return 1;
    // The server's analyzer is made once, with the script connection: only
    // the request is timed.
    return childrun::timed([&] { return ask(path); });
}

int bareRead(const std::string& path) {
    return childrun::timed([&] {
        SF_INFO info{};
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        if (file == nullptr) return 1;
        std::vector<float> block(static_cast<std::size_t>(65536 * info.channels));
        float sink = 0;
        while (const sf_count_t got = sf_readf_float(file, block.data(), 65536)) {
            sink += block[static_cast<std::size_t>(got - 1)];
        }
        sf_close(file);
        return std::isnan(sink) ? 2 : 0;
    });
}

void hostileFiles(const std::filesystem::path& dir, const childrun::Run& second) {
    const std::string bomb = (dir / "silence.flac").string();
    const std::string sparse = (dir / "sparse.wav").string();
    const std::string sparseWav = (dir / "sparse-with-header.wav").string();
    const std::string playlist = (dir / "live.mp3").string();
    const std::string concat = (dir / "self.m4a").string();
    // Four hours of silence written to a pipe: a FLAC that does not tell its length.
    if (std::system(("ffmpeg -loglevel error -y -f lavfi -i anullsrc=r=44100:cl=stereo -t 14400 -c:a flac -f flac "
                     "pipe:1 > " + bomb + " </dev/null").c_str()) != 0) {
        std::printf("hostile files: ffmpeg cannot make them here: skipped\n");
        return;
    }
    std::ofstream(sparse).close();
    std::filesystem::resize_file(sparse, std::uintmax_t{1} << 30);
    {
        // A 16-bit stereo WAV header whose data chunk is the rest of a sparse gigabyte.
        SF_INFO info{.frames = 0, .samplerate = 44100, .channels = 2, .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                     .sections = 0, .seekable = 0};
        sf_close(sf_open(sparseWav.c_str(), SFM_WRITE, &info));
        std::filesystem::resize_file(sparseWav, std::uintmax_t{1} << 30);
        std::fstream header(sparseWav, std::ios::in | std::ios::out | std::ios::binary);
        const std::uint32_t riff = (1u << 30) - 8, data = (1u << 30) - 44;
        header.seekp(4).write(reinterpret_cast<const char*>(&riff), 4);
        header.seekp(40).write(reinterpret_cast<const char*>(&data), 4);
    }
    std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" << bomb << "\n";
    std::ofstream(concat) << "ffconcat version 1.0\nfile '" << concat << "'\n";
    std::printf("hostile files through the request path (peak memory above a 1-second file's %.1f MiB):\n",
                second.peakMiB);
    const std::pair<const char*, std::string> files[] = {
        {"4-hour silent FLAC of unknown length, 2.2 MB", bomb},
        {"sparse 1 GiB named .wav", sparse},
        {"sparse 1 GiB behind a WAV header", sparseWav},
        {"live HLS playlist named .mp3", playlist},
        {"ffconcat list naming itself", concat},
    };
    for (const auto& [name, path] : files) {
        const childrun::Run run = childrun::medianOf(1, [&, file = path] { return anyRequest(file); });
        std::printf("  %-46s %8.3f s %7.1f MiB\n", name, run.seconds, run.peakMiB - second.peakMiB);
    }
}

}  // namespace requestpath
