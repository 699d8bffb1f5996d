// Round-trip properties of the codec over random packets.
//
// Every packet the generator builds (messages and bundles, every value type,
// nested arrays and bundles) must encode, decode to an equal packet with the
// same time tags, and encode again to the same bytes, both from the decoded
// packet's cached bytes and from a copy built afresh. Text is drawn from
// printable ASCII and floats exclude NaN, since encoding text is lossy and NaN
// equals nothing. Valid packets with random damage must decode or fail with
// OSCDecodeError, never anything else.
//
// The seed is fixed, so a failure repeats; its message names the seed, the
// case and the packet.

#include "osc/OSCBundle.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <exception>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace vorn::osc {
namespace {

constexpr std::uint64_t seed = 0x5EED0F05C2ULL;
constexpr int caseCount = 10000;

class PacketGenerator {
public:
    explicit PacketGenerator(std::uint64_t seed) : rng_(seed) {}

    OSCPacket packet() {
        if (chance(30)) return bundle(3);
        return message();
    }

    OSCMessage message() {
        std::vector<OSCValue> values(below(7));
        for (auto& v : values) v = value(3);
        return OSCMessage(address(), std::move(values));
    }

    OSCBundle bundle(int depth) {
        std::vector<OSCPacket> elements;
        const auto count = below(5);
        for (std::size_t i = 0; i < count; ++i) {
            if (depth > 0 && chance(25))
                elements.emplace_back(bundle(depth - 1));
            else
                elements.emplace_back(message());
        }
        return OSCBundle(std::move(elements), timeTag());
    }

    OSCValue value(int depth) {
        switch (below(depth > 0 ? 15 : 14)) {
        case 0: return int32();
        case 1: return float32();
        case 2: return printable(13);
        case 3: return blob();
        case 4: return chance(50);
        case 5: return static_cast<char32_t>(between(32, 126));
        case 6: return float64();
        case 7: return int64();
        case 8: return OSCImpulseValue{};
        case 9: return OSCMIDIValue{byte(), byte(), byte(), byte()};
        case 10: return OSCNullValue{};
        case 11: return OSCStringAltValue{printable(13)};
        case 12: return timeTag();
        case 13: return OSCValue(int32());  // the commonest argument, twice as likely
        default: {
            OSCArrayValue array;
            array.elements.resize(below(5));
            for (auto& element : array.elements) element = value(depth - 1);
            return array;
        }
        }
    }

    std::mt19937_64& engine() { return rng_; }

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_);
    }
    bool chance(int percent) { return between(1, 100) <= percent; }
    std::uint8_t byte() { return static_cast<std::uint8_t>(between(0, 255)); }

private:
    std::int32_t int32() {
        static constexpr std::int32_t edges[] = {0, -1, 1, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()};
        if (chance(20)) return edges[below(std::size(edges))];
        return static_cast<std::int32_t>(rng_());
    }

    std::int64_t int64() {
        static constexpr std::int64_t edges[] = {0, -1, std::numeric_limits<std::int64_t>::min(),
                                                 std::numeric_limits<std::int64_t>::max(), 1LL << 32};
        if (chance(20)) return edges[below(std::size(edges))];
        return static_cast<std::int64_t>(rng_());
    }

    // Any bit pattern but NaN, so infinities, subnormals and negative zero
    // come up as well as ordinary numbers.
    float float32() {
        for (;;) {
            const auto f = std::bit_cast<float>(static_cast<std::uint32_t>(rng_()));
            if (!std::isnan(f)) return f;
        }
    }
    double float64() {
        for (;;) {
            const auto d = std::bit_cast<double>(static_cast<std::uint64_t>(rng_()));
            if (!std::isnan(d)) return d;
        }
    }

    // Lengths up to 13 cross every padding case (0 to 3 bytes past a multiple
    // of four) at least three times.
    std::string printable(std::size_t maxLength) {
        std::string text(below(maxLength + 1), ' ');
        for (auto& c : text) c = static_cast<char>(between(32, 126));
        return text;
    }

    SharedBytes blob() {
        std::vector<std::uint8_t> bytes(below(14));
        for (auto& b : bytes) b = byte();
        return SharedBytes::adopt(std::move(bytes));
    }

    OSCTimeTag timeTag() {
        switch (below(4)) {
        case 0: return OSCTimeTag::immediate();
        case 1: return OSCTimeTag(0);
        case 2: return OSCTimeTag(std::numeric_limits<std::uint64_t>::max());
        default: return OSCTimeTag(rng_());
        }
    }

    // A slash and up to four parts of printable text without slashes; pattern
    // characters are fine, the codec does not interpret them.
    std::string address() {
        std::string text;
        const auto parts = 1 + below(4);
        for (std::size_t i = 0; i < parts; ++i) {
            text += '/';
            const auto length = below(9);
            for (std::size_t j = 0; j < length; ++j) {
                char c;
                do c = static_cast<char>(between(32, 126));
                while (c == '/');
                text += c;
            }
        }
        return text;
    }

    std::mt19937_64 rng_;
};

// Bundle equality leaves the time tags out; the wire does not.
bool sameTimeTags(const OSCPacket& a, const OSCPacket& b) {
    if (a.isMessage() || b.isMessage()) return a.isMessage() && b.isMessage();
    const auto& x = a.bundle();
    const auto& y = b.bundle();
    if (x.timeTag() != y.timeTag() || x.elements().size() != y.elements().size()) return false;
    for (std::size_t i = 0; i < x.elements().size(); ++i)
        if (!sameTimeTags(x.elements()[i], y.elements()[i])) return false;
    return true;
}

// The same packet with every cache dropped: messages through setValues, the
// bundles around them built anew.
OSCPacket rebuilt(const OSCPacket& packet) {
    if (const auto* message = packet.messageIf()) {
        OSCMessage copy = *message;
        copy.setValues(message->values());
        return copy;
    }
    std::vector<OSCPacket> elements;
    for (const auto& element : packet.bundle().elements()) elements.push_back(rebuilt(element));
    return OSCBundle(std::move(elements), packet.bundle().timeTag());
}

bool hasCache(const OSCPacket& packet) {
    return packet.isMessage() ? packet.message().cachedRawData().has_value()
                              : packet.bundle().cachedRawData().has_value();
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += (i % 4 == 0) ? "  " : " ";
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

testing::AssertionResult roundTrips(const OSCPacket& original) {
    const auto bytes = original.rawData();
    if (bytes.size() % 4 != 0) return testing::AssertionFailure() << "encoded length " << bytes.size();

    std::optional<OSCPacket> decoded;
    try {
        decoded = parseOSC(bytes);
    } catch (const std::exception& e) {
        return testing::AssertionFailure() << "decoding threw " << e.what() << "\nbytes: " << hex(bytes.span());
    }
    if (!decoded) return testing::AssertionFailure() << "decoded to nothing";
    if (!(*decoded == original) || !sameTimeTags(*decoded, original))
        return testing::AssertionFailure() << "decoded to " << decoded->description();
    if (!hasCache(*decoded)) return testing::AssertionFailure() << "decoded packet keeps no bytes";
    if (!(decoded->rawData() == bytes))
        return testing::AssertionFailure() << "cached bytes " << hex(decoded->rawData().span());

    const auto fresh = rebuilt(*decoded);
    if (hasCache(fresh)) return testing::AssertionFailure() << "rebuilt packet still has cached bytes";
    if (!(fresh.rawData() == bytes))
        return testing::AssertionFailure() << "re-encoded to " << hex(fresh.rawData().span())
                                           << "\ninstead of " << hex(bytes.span());

    // Appending to a buffer that holds something already must leave it and
    // add the same bytes.
    std::vector<std::uint8_t> appended{0xAA, 0xBB, 0xCC};
    fresh.encode(appended);
    if (appended.size() != 3 + bytes.size() || appended[0] != 0xAA ||
        !std::equal(bytes.begin(), bytes.end(), appended.begin() + 3))
        return testing::AssertionFailure() << "encode() appended " << hex(appended);
    return testing::AssertionSuccess();
}

TEST(OSCRoundTrip, RandomPacketsDecodeToEqualPacketsAndEncodeToTheSameBytes) {
    PacketGenerator generator(seed);
    for (int i = 0; i < caseCount; ++i) {
        const auto packet = generator.packet();
        const auto result = roundTrips(packet);
        if (!result) {
            ADD_FAILURE() << "seed " << seed << ", case " << i << ": " << result.message()
                          << "\npacket: " << packet.description();
            return;
        }
    }
}

// Damage of the kinds that trip decoders: single bits, bytes that mean
// something to the format, length words that lie, and packets cut short,
// stretched or shifted by a word.
void mutate(std::vector<std::uint8_t>& bytes, PacketGenerator& g) {
    static constexpr std::uint8_t specials[] = {0x00, 0xFF, 0x7F, 0x80, '[', ']', ',', '/', '#', 'b', 's', 'i', 'N'};
    static constexpr std::uint32_t words[] = {0, 1, 3, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFC, 0xFFE2, 0xFFE3};
    const auto wordAt = [&] { return bytes.size() < 4 ? 0 : g.below(bytes.size() / 4) * 4; };
    switch (g.below(7)) {
    case 0:
        if (!bytes.empty()) bytes[g.below(bytes.size())] ^= static_cast<std::uint8_t>(1u << g.below(8));
        break;
    case 1:
        if (!bytes.empty()) bytes[g.below(bytes.size())] = specials[g.below(std::size(specials))];
        break;
    case 2:
        if (bytes.size() >= 4) {
            const auto at = wordAt();
            auto w = words[g.below(std::size(words))];
            if (g.chance(30)) w = static_cast<std::uint32_t>(g.between(0, 200));
            for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<std::uint8_t>(w >> (24 - 8 * k));
        }
        break;
    case 3:
        bytes.resize(g.below(bytes.size() + 1));
        break;
    case 4:
        if (bytes.size() >= 4) {
            const auto at = wordAt();
            bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + 4));
        }
        break;
    case 5:
        if (bytes.size() >= 4) {
            const auto at = wordAt();
            const std::vector<std::uint8_t> word(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                                 bytes.begin() + static_cast<std::ptrdiff_t>(at + 4));
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(wordAt()), word.begin(), word.end());
        }
        break;
    default:
        for (auto n = 1 + g.below(6); n > 0; --n) bytes.push_back(g.byte());
        break;
    }
}

TEST(OSCRoundTrip, DamagedPacketsDecodeOrFailWithADecodeError) {
    PacketGenerator generator(seed + 1);
    int decodedCount = 0;
    for (int i = 0; i < caseCount; ++i) {
        auto bytes = generator.packet().rawData().toVector();
        for (auto n = 1 + generator.below(3); n > 0; --n) mutate(bytes, generator);
        const auto input = SharedBytes::copy(bytes);
        try {
            auto decoded = parseOSC(input);
            if (!decoded) continue;
            ++decodedCount;
            // What decodes keeps its input and can be sent on, as is or encoded anew.
            ASSERT_EQ(decoded->rawData(), input) << "seed " << seed + 1 << ", case " << i;
            ASSERT_TRUE(parseOSC(rebuilt(*decoded).rawData()).has_value())
                << "seed " << seed + 1 << ", case " << i << ": " << decoded->description();
        } catch (const OSCDecodeError&) {
        } catch (const std::exception& e) {
            FAIL() << "seed " << seed + 1 << ", case " << i << ": threw " << e.what() << "\nbytes: " << hex(bytes);
        }
    }
    // Damage that leaves the packet readable must come up too, or the
    // re-encoding checks above would test nothing.
    EXPECT_GT(decodedCount, caseCount / 10);
}

}  // namespace
}  // namespace vorn::osc
