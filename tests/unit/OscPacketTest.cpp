// Validation and dispatch of received OSC packets.
#include "OscPacketDispatcher.h"
#include "OscValidator.h"

#include "OscCodec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

std::string word(std::uint32_t value) {
    const std::uint32_t big = htonl(value);
    return std::string(reinterpret_cast<const char*>(&big), 4);
}

bool valid(const std::string& packet) { return OscValidator::isValidPacket(packet.data(), packet.size()); }

std::string nested(int depth) {
    std::string packet = osctest::encode({"/deep", {1}});
    for (int level = 0; level < depth; ++level) packet = osctest::bundle({packet});
    return packet;
}

TEST(OscValidatorTest, AcceptsEveryArgumentTypeAndBundles) {
    osctest::Message all{"/all", {std::int32_t{-7}, 1.5f, "text"s, true, false, osctest::Blob{{'a', 'b', 'c'}}}};
    EXPECT_TRUE(valid(osctest::encode(all)));
    // 64-bit, char, colour, MIDI, nil, infinitum, symbol and array tags.
    const std::string wide = "/w\0\0"s + ",htdcrmNIS[i]\0\0\0"s + std::string(8 * 3 + 4 * 3, '\1') +
                             "sym\0"s + word(5);
    EXPECT_TRUE(valid(wide));
    EXPECT_TRUE(valid("/a\0\0"s));            // an address alone
    EXPECT_TRUE(valid("/a\0\0,\0\0\0"s));     // no arguments
    EXPECT_TRUE(valid(osctest::bundle({})));  // an empty bundle
    EXPECT_TRUE(valid(osctest::bundle({osctest::encode({"/x", {1}}), osctest::bundle({osctest::encode({"/y", {}})})})));
    EXPECT_TRUE(valid(nested(OscValidator::kMaxDepth)));
}

TEST(OscValidatorTest, RejectsBlobSizesOutsideThePacket) {
    // The 12-byte message that crashes oscpack's parser by itself.
    EXPECT_FALSE(valid("/a\0\0,bb\0"s + word(0x40000000)));
    EXPECT_FALSE(valid("/a\0\0,b\0\0"s + word(0x7fffffff)));
    EXPECT_FALSE(valid("/a\0\0,b\0\0"s + word(0xffffffff)));  // negative
    EXPECT_FALSE(valid("/a\0\0,b\0\0"s + word(8) + "abcd"s));  // claims more than it holds
    EXPECT_FALSE(valid("/a\0\0,b\0\0"s + word(5) + "abcd"s));  // padding missing
    EXPECT_FALSE(valid("/a\0\0,bb\0"s + word(4) + "abcd"s));   // second blob missing
    EXPECT_TRUE(valid("/a\0\0,b\0\0"s + word(4) + "abcd"s));
    EXPECT_TRUE(valid("/a\0\0,b\0\0"s + word(0)));
}

TEST(OscValidatorTest, RejectsMalformedMessages) {
    EXPECT_FALSE(valid(""s));
    EXPECT_FALSE(valid("/abc"s));                       // address not terminated
    EXPECT_FALSE(valid("/ab\0,i\0"s));                  // size not a multiple of 4
    EXPECT_FALSE(valid("/a\0\0i\0\0\0"s + word(1)));    // type tags without ','
    EXPECT_FALSE(valid("/a\0\0,x\0\0"s + word(1)));     // unknown type tag
    EXPECT_FALSE(valid("/a\0\0,i\0\0"s));               // int32 missing
    EXPECT_FALSE(valid("/a\0\0,h\0\0"s + word(1)));     // half an int64
    EXPECT_FALSE(valid("/a\0\0,s\0\0abcd"s));           // string not terminated
    EXPECT_FALSE(valid("/a\0\0,ii"s));                  // type tags not terminated
    EXPECT_FALSE(valid("/a\0\0,[i\0"s + word(1)));      // array never closed
    EXPECT_FALSE(valid("/a\0\0,]i\0"s + word(1)));      // array closed before opened
}

TEST(OscValidatorTest, RejectsMalformedBundles) {
    const std::string message = osctest::encode({"/x", {1}});
    const std::string good = osctest::bundle({message});
    EXPECT_FALSE(valid(good.substr(0, 12)));                                   // header cut short
    EXPECT_FALSE(valid("#bundlX\0"s + good.substr(8)));                       // wrong tag
    EXPECT_FALSE(valid(good.substr(0, 16) + word(message.size() + 4) + message));  // element past the end
    EXPECT_FALSE(valid(good.substr(0, 16) + word(0)));                         // empty element
    EXPECT_FALSE(valid(good.substr(0, 16) + word(6) + message.substr(0, 8)));  // element not aligned
    EXPECT_FALSE(valid(good.substr(0, 16) + word(2) + "ab"s));                 // size prefix cut
    EXPECT_FALSE(valid(good.substr(0, 16) + word(8) + "#bundle\0"s));          // nested bundle too short
    EXPECT_FALSE(valid(osctest::bundle({"/a\0\0,bb\0"s + word(0x40000000)})));  // bad message inside
    EXPECT_FALSE(valid(nested(OscValidator::kMaxDepth + 1)));
    EXPECT_FALSE(valid(nested(2000)));
}

// Records the hooks in the order they are called.
class RecordingDispatcher : public OscPacketDispatcher {
public:
    std::vector<std::string> calls;
    std::vector<std::string> forwarded;
    bool throwOnArgument = false;

protected:
    void BundleStart(const osc::ReceivedBundle& bundle) override {
        calls.push_back("start " + std::to_string(bundle.TimeTag()));
    }
    void BundleEnd(const osc::ReceivedBundle& bundle) override {
        calls.push_back("end " + std::to_string(bundle.TimeTag()));
    }
    void ProcessMessage(const ReceivedOscMessage& message) override {
        calls.push_back(message.AddressPattern());
        forwarded.emplace_back(message.EncodedData(), message.EncodedSize());
        if (throwOnArgument) (void)message.ArgumentsBegin()->AsString();  // an int32: wrong type
    }
};

TEST(OscPacketDispatcherTest, BundleCallsStartThenEachMessageThenEnd) {
    RecordingDispatcher dispatcher;
    const std::string first = osctest::encode({"/one", {1}});
    const std::string second = osctest::encode({"/two", {"x"s}});
    const std::string inner = osctest::bundle({second}, 9);
    EXPECT_TRUE(dispatcher.ProcessPacket(osctest::bundle({first, inner}, 5).data(),
                                         osctest::bundle({first, inner}, 5).size()));
    EXPECT_EQ(dispatcher.calls, (std::vector<std::string>{"start 5", "/one", "start 9", "/two", "end 9", "end 5"}));
    // Each message keeps its encoded bytes: the element without its size prefix.
    EXPECT_EQ(dispatcher.forwarded, (std::vector<std::string>{first, second}));
}

TEST(OscPacketDispatcherTest, MalformedPacketsAndArgumentErrorsAreDropped) {
    RecordingDispatcher dispatcher;
    const std::string crash = "/a\0\0,bb\0"s + word(0x40000000);
    EXPECT_FALSE(dispatcher.ProcessPacket(crash.data(), crash.size()));
    EXPECT_TRUE(dispatcher.calls.empty());

    dispatcher.throwOnArgument = true;
    const std::string message = osctest::encode({"/ping", {1}});
    EXPECT_FALSE(dispatcher.ProcessPacket(message.data(), message.size()));
    EXPECT_EQ(dispatcher.calls, std::vector<std::string>{"/ping"});

    // A top-level message forwards the whole packet.
    dispatcher.throwOnArgument = false;
    dispatcher.forwarded.clear();
    EXPECT_TRUE(dispatcher.ProcessPacket(message.data(), message.size()));
    EXPECT_EQ(dispatcher.forwarded, std::vector<std::string>{message});
}

}  // namespace

namespace {

// Found by fuzzing: a terminator followed by non-zero padding made the
// validator and oscpack disagree on where the type tags end, so a blob size
// that was checked at one place was read from another.
TEST(OscValidatorTest, StringsMustBeZeroPadded) {
    EXPECT_FALSE(valid("/all\0\0\0\0,ifsb\0td"s + "c\xf2mTFNIS[i]@\xff\xff\xff\xf9?\xc0\0\0"s + word(24) +
                       std::string(24, 'x')));
    EXPECT_FALSE(valid("/a\0x,\0\0\0"s));          // address padding
    EXPECT_FALSE(valid("/a\0\0,s\0\0ab\0x"s));     // string argument padding
    EXPECT_FALSE(valid("/a\0\0,i\0x"s + word(1)));  // type tag padding
    EXPECT_TRUE(valid("/a\0\0,s\0\0ab\0\0"s));
}

}  // namespace
