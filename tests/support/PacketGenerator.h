#pragma once

// Random packets with a fixed seed: every value type, nested arrays and
// nested bundles. Text is printable ASCII and floats are never NaN, since
// encoding text is lossy and NaN equals nothing. And the damage that trips
// decoders, for checking what they make of it.

#include "osc/OSCBundle.h"
#include "osc/OSCMessage.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vorn::osc::test {

class PacketGenerator {
public:
    explicit PacketGenerator(std::uint64_t seed) : rng_(seed) {}

    OSCPacket packet() { return chance(30) ? OSCPacket(bundle(3)) : OSCPacket(message()); }

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(rng_()); }

    OSCMessage message() {
        std::vector<OSCValue> values(below(7));
        for (auto& v : values) v = value(3);
        // Pattern characters are fine: the codec does not read them.
        std::string address;
        for (auto parts = 1 + below(4); parts > 0; --parts) address += "/" + text(8, '/');
        return OSCMessage(address, std::move(values));
    }

private:
    OSCBundle bundle(int depth) {
        std::vector<OSCPacket> elements;
        for (auto n = below(5); n > 0; --n) {
            elements.push_back(depth > 0 && chance(25) ? OSCPacket(bundle(depth - 1)) : OSCPacket(message()));
        }
        return OSCBundle(std::move(elements), timeTag());
    }

    OSCValue value(int depth) {
        switch (below(depth > 0 ? 15 : 14)) {
        case 0:
        case 13: return edgeOr<std::int32_t>({0, -1, INT32_MIN, INT32_MAX});  // the commonest argument, twice as likely
        case 1: return notNaN<float, std::uint32_t>();
        case 2: return text(13);
        case 3: {
            std::vector<std::uint8_t> blob(below(14));
            for (auto& b : blob) b = byte();
            return blob;
        }
        case 4: return chance(50);
        case 5: return static_cast<char32_t>(32 + below(95));
        case 6: return notNaN<double, std::uint64_t>();
        case 7: return edgeOr<std::int64_t>({0, -1, INT64_MIN, INT64_MAX, 1LL << 32});
        case 8: return OSCImpulseValue{};
        case 9: return OSCMIDIValue{byte(), byte(), byte(), byte()};
        case 10: return OSCNullValue{};
        case 11: return OSCStringAltValue{text(13)};
        case 12: return timeTag();
        default: {
            OSCArrayValue array;
            array.elements.resize(below(5));
            for (auto& element : array.elements) element = value(depth - 1);
            return array;
        }
        }
    }

    template <class T>
    T edgeOr(std::initializer_list<T> edges, int percent = 20) {
        return chance(percent) ? edges.begin()[below(edges.size())] : static_cast<T>(rng_());
    }

    OSCTimeTag timeTag() { return OSCTimeTag(edgeOr<std::uint64_t>({1, 0, UINT64_MAX}, 75)); }

    // Any bit pattern but NaN: infinities, subnormals and negative zero too.
    template <class F, class Bits>
    F notNaN() {
        const auto f = std::bit_cast<F>(static_cast<Bits>(rng_()));
        return std::isnan(f) ? F(1) : f;
    }

    // Lengths up to 13 cross every padding case several times.
    std::string text(std::size_t maxLength, char excluded = '\0') {
        std::string text(below(maxLength + 1), ' ');
        for (auto& c : text) c = static_cast<char>(32 + below(95));
        std::replace(text.begin(), text.end(), excluded, '_');
        return text;
    }

    std::mt19937_64 rng_;
};

// Damage that trips decoders: single bits, length words that lie, and
// packets cut short or stretched.
inline void damage(std::vector<std::uint8_t>& bytes, PacketGenerator& g) {
    static constexpr std::uint32_t words[] = {0, 1, 3, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFC, 0xFFE3};
    if (bytes.size() < 4) return bytes.push_back(g.byte());
    const auto at = static_cast<std::ptrdiff_t>(g.below(bytes.size() / 4) * 4);
    switch (g.below(5)) {
    case 0: bytes[g.below(bytes.size())] ^= static_cast<std::uint8_t>(1u << g.below(8)); break;
    case 1: {
        const auto w = g.chance(30) ? static_cast<std::uint32_t>(g.below(200)) : words[g.below(std::size(words))];
        for (int k = 0; k < 4; ++k) *(bytes.begin() + at + k) = static_cast<std::uint8_t>(w >> (24 - 8 * k));
        break;
    }
    case 2: bytes.resize(g.below(bytes.size() + 1)); break;
    case 3: bytes.erase(bytes.begin() + at, bytes.begin() + at + 4); break;
    default: bytes.insert(bytes.begin() + at, 4, g.byte()); break;
    }
}

// Equal values, floats compared bit for bit: damaged bytes make NaNs.
inline bool same(const OSCValue& a, const OSCValue& b) {
    if (a.kind() != b.kind()) return false;
    if (a.is<float>()) return std::bit_cast<std::uint32_t>(a.get<float>()) == std::bit_cast<std::uint32_t>(b.get<float>());
    if (a.is<double>()) return std::bit_cast<std::uint64_t>(a.get<double>()) == std::bit_cast<std::uint64_t>(b.get<double>());
    if (a.is<OSCArrayValue>()) {
        const auto& x = a.get<OSCArrayValue>().elements;
        const auto& y = b.get<OSCArrayValue>().elements;
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!same(x[i], y[i])) return false;
        }
        return true;
    }
    return a == b;
}

}  // namespace vorn::osc::test
