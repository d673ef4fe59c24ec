// The Live script's waveform requests, answered to every session through a
// fake of the rest of the server.
#include "WaveformRequests.h"
#include "WaveformQueue.h"

#include "AudioFiles.h"
#include "Console.h"
#include "FakeRoles.h"
#include "Logger.h"
#include "OscCodec.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <functional>

using namespace std::string_literals;
using osctest::Argument;
using osctest::Message;

namespace {

class WaveformRequestsTest : public ::testing::Test {
protected:
    // Sends the request as the script would (a clip's reset bracket as it
    // arrives, then its answer); returns what every session got, and in
    // `lanes` how ("every": ordinary, "bulk").
    std::vector<Message> request(const Message& message, std::vector<std::string>* lanes = nullptr) {
        const std::string bytes = osctest::encode(message);
        const ReceivedOscMessage received(osc::ReceivedPacket(bytes.data(), static_cast<osc::osc_bundle_element_size_t>(bytes.size())));
        if (message.address == "/clip/reset_waveform") {
            m_Requests.clipArrived(received);
            m_Requests.clip(received);
        } else {
            m_Requests.simpler(received);
        }
        std::vector<Message> replies;
        for (const auto& delivery : m_Links.deliveries()) {
            replies.push_back(osctest::decode(delivery.payload)->messages.at(0));
            if (lanes != nullptr) lanes->push_back(delivery.to);
        }
        m_Links.clear();
        return replies;
    }

    static std::vector<Argument> withHead(std::vector<Argument> head, const std::vector<Argument>& rest) {
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    }

    TempDir m_Dir;
    const Console::Capture m_Console;
    FakeRoles m_Links;
    WaveformRequests m_Requests{m_Links, productionAnalyzer()};
};

TEST_F(WaveformRequestsTest, SeriesGoToEverySessionForAClipAndASimpler) {
    struct Case {
        std::vector<float> samples;
        std::size_t blobBytes;
        float duration;
    };
    // One second gives q = 22050 points; an empty file no point, 16-byte blobs.
    for (const Case& c : {Case{std::vector<float>(44100, 0.5f), 88208, 1.0f}, Case{{}, 16, 0.0f}}) {
        const std::string path = writeSound(m_Dir.file("clip.wav"), 1, c.samples);
        std::vector<std::string> lanes;
        const auto clip = request({"/clip/reset_waveform", {3, 4, path, 0.0f, 1.0f}}, &lanes);
        const auto simpler = request({"/device/simpler/reset_waveform", {7, 8, 9, 2, 1, 2, 3, 4, path, 0.0f, 1.0f}}, &lanes);
        ASSERT_EQ(clip.size(), 4u) << c.blobBytes;
        ASSERT_EQ(simpler.size(), 4u) << c.blobBytes;
        // Only a clip's reset bracket is ordinary: the rest is bulk, behind it.
        EXPECT_EQ(lanes, (std::vector<std::string>{"every", "bulk", "bulk", "bulk", "bulk", "bulk", "bulk", "bulk"}));
        const std::vector<Argument> head{7, 8, 9, 2, 1, 2, 3, 4};
        EXPECT_EQ(clip[0], (Message{"/clip/reset_waveform", {3, 4}}));
        EXPECT_EQ(clip[3], (Message{"/clip/updated_waveform", {3, 4, ""s}}));
        EXPECT_EQ(simpler[0], (Message{"/device/simpler/reset_waveform", withHead(head, {static_cast<int>(c.samples.size())})}));
        EXPECT_EQ(simpler[3], (Message{"/device/simpler/updated_waveform", head}));
        const char* data[] = {"/clip/update_waveform", "/clip/update_waveform_intensity", "/device/simpler/update_waveform",
                              "/device/simpler/update_waveform_intensity"};
        const Message* replies[] = {&clip[1], &clip[2], &simpler[1], &simpler[2]};
        for (int r = 0; r < 4; ++r) {
            const auto& arguments = replies[r]->arguments;
            EXPECT_EQ(replies[r]->address, data[r]);
            ASSERT_GE(arguments.size(), 2u);
            EXPECT_EQ(std::get<osctest::Blob>(arguments[arguments.size() - 2]).bytes.size(), c.blobBytes) << data[r];
            EXPECT_EQ(std::get<float>(arguments.back()), c.duration) << data[r];
        }
    }
}

TEST_F(WaveformRequestsTest, UnloadableFilesGiveTheBracketsForAClipAndNothingForASimpler) {
    mkfifo(m_Dir.file("pipe.m4a").c_str(), 0600);
    const std::string aifc = "FORM" "\0\0\0\x3C" "AIFCCOMM" "\0\0\0\x18" "\0\x01" "\0\0\0\x01" "\0\x10"
                             "\x40\x0E\xAC\x44\0\0\0\0\0\0" "XYZW" "\0\0" "SSND" "\0\0\0\x0A" "\0\0\0\0\0\0\0\0" "\0\0"s;
    writeFile(m_Dir.file("odd.aif"), aifc);
    for (const auto& [path, refused] : {std::pair{m_Dir.file("missing.wav"), ""s}, {m_Dir.file("pipe.m4a"), ""s},
                                        {m_Dir.file("odd.aif"), "XYZW"s}}) {
        EXPECT_EQ(request({"/clip/reset_waveform", {1, 2, path, 0.0f, 1.0f}}),
                  (std::vector<Message>{{"/clip/reset_waveform", {1, 2}}, {"/clip/updated_waveform", {1, 2, refused}}}));
        EXPECT_NE(m_Console.text().find("no audio data found: " + path + "\n"), std::string::npos);
        EXPECT_TRUE(request({"/device/simpler/reset_waveform", {1, 2, 3, 0, path, 0.0f, 1.0f}}).empty()) << path;
    }
}

TEST_F(WaveformRequestsTest, PairCountsBeyondTheMessageAreRefused) {
    const std::string path = writeSound(m_Dir.file("clip.wav"), 1, std::vector<float>(100, 0.5f));
    EXPECT_TRUE(request({"/device/simpler/reset_waveform", {7, 8, 9, 1000000, 1, 2, path, 0.0f, 1.0f}}).empty());
    const auto replies = request({"/device/simpler/reset_waveform", {7, 8, 9, -5, path, 0.0f, 1.0f}});
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[3], (Message{"/device/simpler/updated_waveform", {7, 8, 9, -5}}));
}

// Only the own decoder reads this file, and it says so on every load.
TEST_F(WaveformRequestsTest, RepeatedRequestsAreAnsweredWithoutDecodingUntilTheFileChanges) {
    const std::string path = writeDataFirstWav(m_Dir.file("clip.wav"), 1, std::vector<std::int16_t>(3000, 1000));
    auto loads = [&] {
        const std::string text = m_Console.text();
        std::size_t count = 0;
        for (auto at = text.find("file_length_in_samples"); at != std::string::npos; at = text.find("file_length_in_samples", at + 1)) ++count;
        return count;
    };
    const Message clip{"/clip/reset_waveform", {1, 2, path, 0.0f, 1.0f}};
    const auto first = request(clip);
    EXPECT_EQ(request(clip), first);
    EXPECT_EQ(loads(), 1u);
    EXPECT_EQ(request({"/clip/reset_waveform", {1, 2, path, 0.0f, 0.5f}}).size(), 4u);  // other fractions: loaded
    EXPECT_EQ(loads(), 2u);

    writeDataFirstWav(path, 1, std::vector<std::int16_t>(3000, -1000));
    std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + std::chrono::seconds(1));
    EXPECT_NE(request(clip), first);
    EXPECT_EQ(loads(), 3u);
}

// With no worker to take them, requests fill the queue; the one that finds
// it full is answered at once as a file that did not load (a clip's closing
// bracket after the reset it got on arrival, nothing for a Simpler), and the log says how many wait.
TEST_F(WaveformRequestsTest, AFullQueueAnswersAtOnceAsNotLoaded) {
    const std::string path = writeSound(m_Dir.file("clip.wav"), 1, std::vector<float>(100, 0.5f));
    auto submit = [](WaveformQueue& queue, const Message& message) {
        const std::string bytes = osctest::encode(message);
        const ReceivedOscMessage received(osc::ReceivedPacket(bytes.data(), static_cast<osc::osc_bundle_element_size_t>(bytes.size())));
        message.address == "/clip/reset_waveform" ? queue.clip(received) : queue.simpler(received);
    };
    CLogger::init(m_Dir.file("log").c_str());
    {
        WaveformQueue queue(m_Links, productionAnalyzer());
        for (std::size_t i = 0; i < WaveformQueue::kMaxRequests; ++i) submit(queue, {"/clip/reset_waveform", {1, 2, path, 0.0f, 1.0f}});
        EXPECT_EQ(m_Links.deliveries().size(), WaveformQueue::kMaxRequests);  // the reset brackets, as they came
        m_Links.clear();
        for (int clip : {7, 8}) {
            submit(queue, {"/clip/reset_waveform", {clip, 2, path, 0.0f, 1.0f}});
            submit(queue, {"/device/simpler/reset_waveform", {clip, 2, 3, 0, path, 0.0f, 1.0f}});
        }
    }
    CLogger::finish();
    std::vector<std::string> replies;
    for (const auto& delivery : m_Links.deliveries()) replies.push_back(delivery.payload);
    EXPECT_EQ(replies, (std::vector<std::string>{osctest::encode({"/clip/reset_waveform", {7, 2}}),
                                                 osctest::encode({"/clip/updated_waveform", {7, 2, ""s}}),
                                                 osctest::encode({"/clip/reset_waveform", {8, 2}}),
                                                 osctest::encode({"/clip/updated_waveform", {8, 2, ""s}})}));
    const std::string log = readFile(m_Dir.file("log"));
    EXPECT_NE(log.find("512 are waiting"), std::string::npos) << log;
}

}  // namespace
