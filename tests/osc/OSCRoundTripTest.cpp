// Random packets with a fixed seed: every value type, nested arrays and
// nested bundles. Text is printable ASCII and floats are never NaN, since
// encoding text is lossy and NaN equals nothing.

#include "osc/OSCBundle.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"
#include "support/PacketGenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <exception>
#include <random>
#include <string>
#include <vector>

namespace vorn::osc {
namespace {

constexpr std::uint64_t seed = 0x5EED0F05C2ULL;
constexpr int caseCount = 10000;

using test::PacketGenerator;
using test::damage;

// The same packet with every cache dropped and every time tag kept.
OSCPacket rebuilt(const OSCPacket& packet) {
    if (const auto* message = packet.messageIf()) return OSCMessage(message->addressPattern(), message->values());
    std::vector<OSCPacket> elements;
    for (const auto& element : packet.bundle().elements()) elements.push_back(rebuilt(element));
    return OSCBundle(std::move(elements), packet.bundle().timeTag());
}

testing::AssertionResult roundTrips(const OSCPacket& original) {
    const auto bytes = original.rawData();
    std::optional<OSCPacket> decoded;
    try {
        decoded = parseOSC(bytes);
    } catch (const std::exception& e) {
        return testing::AssertionFailure() << "decoding threw " << e.what();
    }
    // Bundle equality leaves time tags out; descriptions show them.
    if (!decoded || !(*decoded == original) || decoded->description() != original.description())
        return testing::AssertionFailure() << "decoded to " << (decoded ? decoded->description() : "nothing");
    if (!(decoded->rawData() == bytes) || decoded->rawData().data() != bytes.data())
        return testing::AssertionFailure() << "the decoded packet does not keep its bytes";
    const auto fresh = rebuilt(*decoded);
    if (!(fresh.rawData() == bytes)) return testing::AssertionFailure() << "re-encoded to other bytes";

    // Appending keeps what the buffer held.
    std::vector<std::uint8_t> appended{0xAA};
    fresh.encode(appended);
    if (appended[0] != 0xAA || !std::equal(appended.begin() + 1, appended.end(), bytes.begin(), bytes.end()))
        return testing::AssertionFailure() << "encode() appended other bytes";
    return testing::AssertionSuccess();
}

TEST(OSCRoundTrip, RandomPacketsDecodeToEqualPacketsAndEncodeToTheSameBytes) {
    PacketGenerator generator(seed);
    for (int i = 0; i < caseCount; ++i) {
        const auto packet = generator.packet();
        ASSERT_TRUE(roundTrips(packet)) << "seed " << seed << ", case " << i << ": " << packet.description();
    }
}

TEST(OSCRoundTrip, DamagedPacketsDecodeOrFailWithADecodeError) {
    PacketGenerator generator(seed + 1);
    int decodedCount = 0;
    for (int i = 0; i < caseCount; ++i) {
        auto bytes = generator.packet().rawData().toVector();
        for (auto n = 1 + generator.below(3); n > 0; --n) damage(bytes, generator);
        const auto input = SharedBytes::copy(bytes);
        try {
            const auto decoded = parseOSC(input);
            if (!decoded) continue;
            ++decodedCount;
            // What decodes can be sent on, as it is or encoded anew.
            ASSERT_EQ(decoded->rawData(), input) << "case " << i;
            ASSERT_TRUE(parseOSC(rebuilt(*decoded).rawData())) << "case " << i << ": " << decoded->description();
        } catch (const OSCDecodeError&) {
        } catch (const std::exception& e) {
            FAIL() << "case " << i << ": threw " << e.what();
        }
    }
    // Readable damage must come up too, or the checks above test nothing.
    EXPECT_GT(decodedCount, caseCount / 10);
}

}  // namespace
}  // namespace vorn::osc
