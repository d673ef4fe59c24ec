// The Live script's waveform requests, answered to every tablet.
#include "RelayFixture.h"

#include <sndfile.h>

#include <cmath>

using namespace std::chrono_literals;
using namespace std::string_literals;
using osctest::Message;

namespace {

class WaveformRequestTest : public RelayTest {
protected:
    // A one-second mono 44.1 kHz WAV of a quiet sine.
    std::string writeClip() {
        const std::string path = (m_Dir.path() / "clip.wav").string();
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        std::vector<float> samples(44100);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.5f * std::sin(static_cast<float>(i) * 0.05f);
        sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(file);
        return path;
    }

    // The addresses and leading arguments of what a tablet receives.
    static std::vector<Message> replies(SimulatedTablet& ipad, std::size_t expected) {
        std::vector<Message> received;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (received.size() < expected && std::chrono::steady_clock::now() < deadline) {
            const auto frame = ipad.readFrame(200ms);
            if (!frame) continue;
            const auto packet = osctest::decode(frame->payload);
            if (packet && packet->messages.front().address != "/app/ping") received.push_back(packet->messages.front());
        }
        return received;
    }
};

std::vector<std::string> addresses(const std::vector<Message>& messages) {
    std::vector<std::string> result;
    for (const auto& message : messages) result.push_back(message.address);
    return result;
}

TEST_F(WaveformRequestTest, ClipRequestIsAnsweredWithFourRepliesToEveryTablet) {
    auto ipad = tablet(false);
    m_Script->sendMessage({"/clip/reset_waveform", {3, 4, writeClip(), 0.0f, 1.0f}});
    const auto received = replies(*ipad, 4);
    ASSERT_EQ(addresses(received), (std::vector<std::string>{"/clip/reset_waveform", "/clip/update_waveform",
                                                             "/clip/update_waveform_intensity",
                                                             "/clip/updated_waveform"}));
    EXPECT_EQ(received[0], (Message{"/clip/reset_waveform", {3, 4}}));
    // 44100 samples: q = 22050 points, blobs of 88208 bytes, one second.
    for (int r : {1, 2}) {
        ASSERT_EQ(received[r].arguments.size(), 4u);
        EXPECT_EQ(std::get<osctest::Blob>(received[r].arguments[2]).bytes.size(), 88208u);
        EXPECT_FLOAT_EQ(std::get<float>(received[r].arguments[3]), 1.0f);
    }
    EXPECT_EQ(received[3], (Message{"/clip/updated_waveform", {3, 4, ""s}}));
}

TEST_F(WaveformRequestTest, MissingFilesGiveTheBracketsForAClipAndNothingForASimpler) {
    auto ipad = tablet(true);
    ::testing::internal::CaptureStdout();
    m_Script->sendMessage({"/clip/reset_waveform", {1, 2, "/no/such/file.wav"s, 0.0f, 1.0f}});
    const auto received = replies(*ipad, 2);
    EXPECT_EQ(received, (std::vector<Message>{{"/clip/reset_waveform", {1, 2}}, {"/clip/updated_waveform", {1, 2, ""s}}}));
    m_Script->sendMessage({"/device/simpler/reset_waveform", {1, 2, 3, 0, "/no/such/file.aif"s, 0.0f, 1.0f}});
    m_Script->sendMessage({"/after", {}});
    EXPECT_EQ(addresses(replies(*ipad, 1)), std::vector<std::string>{"/after"} ) << "sent to confirmed only";
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("no audio data found: /no/such/file.wav\n"), std::string::npos);
}

TEST_F(WaveformRequestTest, SimplerRepliesCarryThePairList) {
    auto ipad = tablet(true);
    const std::string clip = writeClip();
    m_Script->sendMessage({"/device/simpler/reset_waveform", {7, 8, 9, 2, 1, 2, 3, 4, clip, 0.0f, 1.0f}});
    const auto received = replies(*ipad, 4);
    ASSERT_EQ(addresses(received),
              (std::vector<std::string>{"/device/simpler/reset_waveform", "/device/simpler/update_waveform",
                                        "/device/simpler/update_waveform_intensity",
                                        "/device/simpler/updated_waveform"}));
    const std::vector<osctest::Argument> head{7, 8, 9, 2, 1, 2, 3, 4};
    for (const auto& reply : received) {
        ASSERT_GE(reply.arguments.size(), head.size());
        EXPECT_EQ(std::vector<osctest::Argument>(reply.arguments.begin(), reply.arguments.begin() + 8), head);
    }
    EXPECT_EQ(received[0].arguments.back(), osctest::Argument{44100});
    EXPECT_EQ(received[3].arguments.size(), head.size());

    m_Script->sendMessage({"/device/simpler/reset_waveform", {7, 8, 9, 0, clip, 0.0f, 1.0f}});
    const auto none = replies(*ipad, 4);
    ASSERT_EQ(none.size(), 4u);
    EXPECT_EQ(none[3], (Message{"/device/simpler/updated_waveform", {7, 8, 9, 0}}));
}

TEST_F(WaveformRequestTest, PairCountsBeyondTheMessageAreRefused) {
    auto ipad = tablet(true);
    m_Script->sendMessage({"/device/simpler/reset_waveform", {7, 8, 9, 1000000, 1, 2, writeClip(), 0.0f, 1.0f}});
    m_Script->sendMessage({"/device/simpler/reset_waveform", {7, 8, 9, -5, writeClip(), 0.0f, 1.0f}});
    const auto received = replies(*ipad, 4);
    ASSERT_EQ(received.size(), 4u);  // only the second request, with no pairs
    EXPECT_EQ(received[3], (Message{"/device/simpler/updated_waveform", {7, 8, 9, -5}}));
    EXPECT_NE(log().find(" ERROR Simpler waveform request with 1000000 pairs but 9 arguments: dropped\n"),
              std::string::npos);
}

}  // namespace
