// Both stream framings: packets come back whole and in order however the
// stream is cut, and a bad frame is a clear error that costs nothing that
// came before it.

#include "net/OSCStreamFraming.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vorn::net {
namespace {

using Bytes = std::vector<std::uint8_t>;

class FramingTest : public ::testing::TestWithParam<OSCFraming> {
protected:
    std::unique_ptr<OSCStreamDecoder> decoder(std::size_t maxFrameSize = OSCStreamDecoder::defaultMaxFrameSize) {
        return OSCStreamDecoder::make(GetParam(), maxFrameSize);
    }
};

// Feeds `stream` in the given pieces and collects what comes out.
std::vector<Bytes> feedInPieces(OSCStreamDecoder& decoder, const Bytes& stream, const std::vector<std::size_t>& cuts) {
    std::vector<Bytes> packets;
    const auto sink = [&](std::span<const std::uint8_t> packet) { packets.emplace_back(packet.begin(), packet.end()); };
    std::size_t from = 0;
    for (const auto cut : cuts) {
        decoder.feed(std::span(stream).subspan(from, cut - from), sink);
        from = cut;
    }
    decoder.feed(std::span(stream).subspan(from), sink);
    return packets;
}

TEST_P(FramingTest, RandomPacketSequencesCutAnywhereComeBackWholeAndInOrder) {
    std::mt19937 random(1805);
    // Bytes that the framings treat specially turn up often.
    const Bytes special = {0xC0, 0xDB, 0xDC, 0xDD, 0x00, 0xFF, 0x80};
    for (int round = 0; round < 400; ++round) {
        std::vector<Bytes> packets(std::uniform_int_distribution<std::size_t>(0, 12)(random));
        Bytes stream;
        const auto frameDecoder = decoder();
        for (auto& packet : packets) {
            // Mostly small, now and then large enough to span many reads.
            const std::size_t size = round % 17 == 0 ? std::uniform_int_distribution<std::size_t>(1, 70'000)(random)
                                                     : std::uniform_int_distribution<std::size_t>(1, 64)(random);
            for (std::size_t i = 0; i < size; ++i) {
                packet.push_back(random() % 3 == 0 ? special[random() % special.size()]
                                                   : static_cast<std::uint8_t>(random()));
            }
            const auto framed = frameDecoder->frame(packet);
            stream.insert(stream.end(), framed.begin(), framed.end());
        }
        std::vector<std::size_t> cuts;
        if (!stream.empty()) {
            const std::size_t pieces = std::uniform_int_distribution<std::size_t>(0, 20)(random);
            for (std::size_t i = 0; i < pieces; ++i) cuts.push_back(random() % (stream.size() + 1));
            // Now and then every byte alone.
            if (round % 50 == 0 && stream.size() < 2000) {
                for (std::size_t i = 0; i < stream.size(); ++i) cuts.push_back(i);
            }
            std::sort(cuts.begin(), cuts.end());
        }
        const auto reader = decoder();
        ASSERT_EQ(feedInPieces(*reader, stream, cuts), packets) << "round " << round;
        EXPECT_EQ(reader->buffered(), 0u);
    }
}

TEST_P(FramingTest, TheBoundIsSettableAndAFrameJustWithinItPasses) {
    const auto reader = decoder(8);
    const Bytes eight(8, 0x2F);
    const Bytes nine(9, 0x2F);
    std::vector<Bytes> got;
    const auto sink = [&](std::span<const std::uint8_t> p) { got.emplace_back(p.begin(), p.end()); };
    reader->feed(reader->frame(eight), sink);
    EXPECT_EQ(got, std::vector<Bytes>{eight});
    EXPECT_THROW(reader->feed(reader->frame(nine), sink), OSCFramingError);
    reader->setMaxFrameSize(9);
    reader->reset();
    reader->feed(reader->frame(nine), sink);
    EXPECT_EQ(got.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Both, FramingTest, ::testing::Values(OSCFraming::lengthPrefixed, OSCFraming::slip),
                         [](const auto& info) { return info.param == OSCFraming::slip ? "SLIP" : "LengthPrefixed"; });

struct BadStream {
    OSCFraming framing;
    Bytes stream;
    std::string error;
};

// Each stream holds one good packet ("/a\0\0") and then a bad frame: the good
// one arrives, the error names the fault, and the decoder stays broken (the
// connection it reads has lost its place) until reset.
TEST(FramingErrorTest, BadFramesAreClearErrorsAfterTheGoodPacketsBeforeThem) {
    const Bytes good = {'/', 'a', 0, 0};
    const std::vector<BadStream> cases = {
        {OSCFraming::lengthPrefixed, {0xFF, 0xFF, 0xFF, 0xFE, 1, 2},
         "Bad OSC 1.0 frame: negative packet size -2"},
        {OSCFraming::lengthPrefixed, {0x00, 0x10, 0x00, 0x01},
         "Bad OSC 1.0 frame: packet size 1048577 exceeds the limit of 1048576 bytes"},
        {OSCFraming::slip, {0xC0, 'x', 0xDB, 'A', 0xC0},
         "Bad SLIP frame: escape byte 0xDB followed by 0x41, not 0xDC or 0xDD"},
        {OSCFraming::slip, {0xC0, 0xDB, 0xC0}, "Bad SLIP frame: escape byte 0xDB followed by 0xC0, not 0xDC or 0xDD"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.error);
        const auto reader = OSCStreamDecoder::make(bad.framing);
        auto stream = reader->frame(good);
        stream.insert(stream.end(), bad.stream.begin(), bad.stream.end());
        std::vector<Bytes> got;
        const auto sink = [&](std::span<const std::uint8_t> p) { got.emplace_back(p.begin(), p.end()); };
        try {
            reader->feed(stream, sink);
            ADD_FAILURE() << "no error";
        } catch (const OSCFramingError& error) {
            EXPECT_EQ(std::string(error.what()), bad.error);
        }
        EXPECT_EQ(got, std::vector<Bytes>{good});
        EXPECT_THROW(reader->feed(reader->frame(good), sink), OSCFramingError) << "still broken";
        reader->reset();
        reader->feed(reader->frame(good), sink);
        EXPECT_EQ(got.size(), 2u);
    }
}

TEST(FramingErrorTest, AnEndlessSLIPFrameIsRefusedAtTheBoundNotBuffered) {
    OSCSLIPDecoder reader(1000);
    const Bytes noise(600, 'x');
    const auto sink = [](std::span<const std::uint8_t>) { ADD_FAILURE() << "no packet was complete"; };
    reader.feed(noise, sink);
    EXPECT_THROW(reader.feed(noise, sink), OSCFramingError);
    EXPECT_LE(reader.buffered(), 1001u);
}

TEST(FramingErrorTest, WireFormatsAreTheDocumentedOnes) {
    const Bytes packet = {'/', 0xC0, 0xDB, 0};
    EXPECT_EQ(OSCLengthPrefixedDecoder::encode(packet), (Bytes{0, 0, 0, 4, '/', 0xC0, 0xDB, 0}));
    EXPECT_EQ(OSCSLIPDecoder::encode(packet), (Bytes{0xC0, '/', 0xDB, 0xDC, 0xDB, 0xDD, 0, 0xC0}));
}

}  // namespace
}  // namespace vorn::net
