// The frame codec and the send queue, on byte arrays.
#include "FrameReader.h"
#include "FrameWriter.h"
#include "OutboundQueue.h"

#include <gtest/gtest.h>

#include <functional>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

std::string frame(const std::string& payload, std::uint32_t type = 2) {
    unsigned char header[FrameHeader::kSize];
    FrameHeader{static_cast<std::uint32_t>(payload.size()), type}.encode(header);
    return std::string(reinterpret_cast<char*>(header), sizeof header) + payload;
}

// Feeds `stream` in pieces of `chunk` bytes; returns each event as text.
std::vector<std::string> events(FrameReader& reader, const std::string& stream, std::size_t chunk) {
    std::vector<std::string> seen;
    for (std::size_t at = 0; at < stream.size();) {
        const std::span<char> space = reader.space();
        const std::size_t count = std::min({chunk, space.size(), stream.size() - at});
        std::memcpy(space.data(), stream.data() + at, count);
        reader.commit(count);
        at += count;
        for (auto next = reader.next(); next.event != FrameReader::Event::NeedMore; next = reader.next()) {
            if (next.event == FrameReader::Event::Frame) seen.emplace_back(next.payload);
            if (next.event == FrameReader::Event::Skipped) seen.push_back("skipped " + std::to_string(next.length));
            if (next.event == FrameReader::Event::LengthError) {
                seen.push_back("error " + std::to_string(next.length));
                return seen;
            }
        }
    }
    return seen;
}

TEST(FrameReaderTest, AnyCuttingOfTheStreamYieldsTheSameFrames) {
    const std::string big(131084, 'b');
    const std::string stream = frame("/one") + frame("foreign", 1) + frame(big) + frame("/two");
    for (std::size_t chunk : {1u, 3u, 4u, 5u, 12u, 13u, 4096u, 1u << 20}) {
        FrameReader reader;
        EXPECT_EQ(events(reader, stream, chunk), (std::vector<std::string>{"/one", "skipped 7", big, "/two"}))
            << chunk;
    }
}

// A frame that ends r bytes before the end of the reader's buffer, with the
// first r bytes of the next header behind it: only what was received may be
// read (the sanitizers see any byte past the buffer).
TEST(FrameReaderTest, AHeaderCutAtTheEndOfTheBufferIsNotReadPastIt) {
    for (std::size_t r = 1; r <= 11; ++r) {
        FrameReader reader;
        const std::size_t buffer = reader.space().size();
        const std::string first = frame(std::string(buffer - FrameHeader::kSize - r, 'a'));
        const std::string stream = first + frame("/next");
        EXPECT_EQ(events(reader, stream.substr(0, buffer), buffer).size(), 1u) << r;
        EXPECT_EQ(events(reader, stream.substr(buffer), 64), (std::vector<std::string>{"/next"})) << r;
    }
}

TEST(FrameReaderTest, LengthsOutsideOneTo131084AreErrorsAsSoonAsTheLengthIsIn) {
    for (std::uint32_t length : {0u, 131085u, 0xffffffffu}) {
        FrameReader reader;
        unsigned char header[FrameHeader::kSize];
        FrameHeader{length}.encode(header);
        EXPECT_EQ(events(reader, std::string(reinterpret_cast<char*>(header), 4), 1),
                  (std::vector<std::string>{"error " + std::to_string(length)}));
        EXPECT_EQ(reader.next().event, FrameReader::Event::LengthError);  // and stays so
    }
}

TEST(FrameReaderTest, FieldStartsAndGrowthFollowTheBytesHeld) {
    const std::string stream = frame(std::string(40, 'x'));
    // Bytes held after a receive -> whether the next receive starts a field.
    const std::vector<std::pair<std::size_t, bool>> cases{{0, true},  {1, false}, {4, true},  {8, true},
                                                          {11, false}, {12, true}, {13, false}, {51, false}};
    for (const auto& [held, fieldStart] : cases) {
        FrameReader reader;
        events(reader, stream.substr(0, held), held + 1);
        EXPECT_EQ(reader.atFieldStart(), fieldStart) << held;
    }
    FrameReader reader;
    for (int i = 0; i < 1000; ++i) events(reader, frame("/small"), 64);
    EXPECT_LE(reader.capacity(), 8192u);  // small frames keep the buffer small
}

TEST(FrameWriterTest, TheBundleMarkerIsTwentyEightBytes) {
    const std::string marker = FrameWriter::frame("#bundle\0\0\0\0\0\0\0\0\1"s);
    EXPECT_EQ(marker, "\0\0\0\x10\0\0\0\x02\0\0\0\0#bundle\0\0\0\0\0\0\0\0\1"s);
    EXPECT_EQ(*OutboundQueue::frame("/a\0\0", 4), frame("/a\0\0"s));
}

// Writes of the given sizes, each taking what one gather offered; `between`
// runs before each gather (frames arriving while the stream drains).
std::string drain(OutboundQueue& queue, const std::vector<std::size_t>& steps,
                  const std::function<void(std::size_t)>& between = {}) {
    std::string written;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        iovec parts[8];
        const OutboundQueue::Gathered gathered = queue.gather(parts, 8);
        if (between) between(i);  // after the gather, as another thread would during the write
        std::string pending;
        for (std::size_t p = 0; p < gathered.parts; ++p) {
            pending.append(static_cast<char*>(parts[p].iov_base), parts[p].iov_len);
        }
        const std::size_t taken = std::min(steps[i], pending.size());
        written += pending.substr(0, taken);
        queue.consume(gathered, taken);
    }
    return written;
}

TEST(OutboundQueueTest, FramesLeaveInOrderAcrossPartialWritesWithinTheBound) {
    OutboundQueue queue(100);
    EXPECT_EQ(queue.push(OutboundQueue::frame("first", 5)), OutboundQueue::Push::First);
    EXPECT_EQ(queue.push(OutboundQueue::frame("second", 6)), OutboundQueue::Push::Queued);
    EXPECT_EQ(queue.push(OutboundQueue::frame(std::string(80, 'x').data(), 80)), OutboundQueue::Push::Overflow);
    EXPECT_EQ(queue.bytes(), 35u);
    EXPECT_EQ(drain(queue, {3, 14, 1, 100}), frame("first") + frame("second"));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.push(OutboundQueue::frame("again", 5)), OutboundQueue::Push::First);
}

// Ordinary frames overtake bulk ones, but only where a frame ends: a frame
// the stream has begun is finished first, whatever arrives meanwhile, and
// frames that arrive during a write are not mistaken for those it carried.
TEST(OutboundQueueTest, OrdinaryFramesOvertakeBulkOnlyAtFrameBoundaries) {
    using Lane = OutboundQueue::Lane;
    OutboundQueue queue(1000);
    queue.push(OutboundQueue::frame("bulk-1", 6), Lane::Bulk);
    queue.push(OutboundQueue::frame("bulk-2", 6), Lane::Bulk);
    queue.push(OutboundQueue::frame(std::string(2000, 'b').data(), 2000), Lane::Bulk);  // bulk has no byte bound
    EXPECT_EQ(queue.push(OutboundQueue::frame("ping", 4)), OutboundQueue::Push::Queued);
    EXPECT_EQ(queue.bulkBytes(), 2048u);
    EXPECT_EQ(queue.interactiveBytes(), 16u);

    const std::string written = drain(queue, {20, 5, 40, 3000}, [&](std::size_t step) {
        if (step == 0) queue.push(OutboundQueue::frame("late", 4));         // joins during the first write
        if (step == 1) queue.push(OutboundQueue::frame("later", 5));        // while bulk-1 is half written
    });
    const std::string big = frame(std::string(2000, 'b'));
    EXPECT_EQ(written, frame("ping") + frame("bulk-1") + frame("late") + frame("later") + frame("bulk-2") + big);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.bytes(), 0u);
}

}  // namespace
