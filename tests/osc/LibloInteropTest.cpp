// liblo, a widely deployed third-party codec, reads what we write and we read
// what it writes, for every type both know, in messages and nested bundles.
// Both write the same bytes: OSC 1.0 leaves no choice in their layout.

#include "osc/OSCBundle.h"
#include "osc/OSCMessage.h"

#include <gtest/gtest.h>
#include <lo/lo.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace vorn::osc {
namespace {

using Bytes = std::vector<std::uint8_t>;
using F = std::numeric_limits<float>;
using D = std::numeric_limits<double>;

// One row per type, with values that cross its edges and paddings.
const std::vector<std::pair<const char*, std::vector<OSCValue>>> typeCases = {
    {"i", {42, -1, INT32_MIN, INT32_MAX}},
    {"f", {0.5f, -0.0f, -1e30f, F::infinity(), F::denorm_min()}},
    {"s", {"", "a", "abc", "abcd", "/eos/out/ping"}},
    {"b", {Bytes{0xF0}, Bytes{1, 2, 3}, Bytes{1, 2, 3, 4}, Bytes{1, 2, 3, 4, 5}, Bytes(64, 0xC3)}},
    {"T F", {true, false}},
    {"N", {OSCNullValue{}}},
    {"I", {OSCImpulseValue{}}},
    {"c", {'A', ' ', '~'}},
    {"d", {3.141592653589793, -0.0, -D::infinity(), D::denorm_min()}},
    {"h", {INT64_MIN, INT64_MAX, std::int64_t{1} << 40}},
    {"t", {OSCTimeTag(1), OSCTimeTag(0xBC17C20080000000u), OSCTimeTag(UINT64_MAX)}},
    {"S", {OSCStringAltValue{"sym"}, OSCStringAltValue{"abcd"}}},
    {"m", {OSCMIDIValue{1, 144, 60, 127}}},
};

const std::vector<OSCValue> everyValue = [] {
    std::vector<OSCValue> values;
    for (const auto& [tag, row] : typeCases) values.insert(values.end(), row.begin(), row.end());
    return values;
}();

template <class T>
T load(const char* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

// liblo's argument pointers point into the packed message and are often not
// aligned for lo_arg, so fields are copied out. T, F, N and I have no data.
OSCValue fromLiblo(char type, const lo_arg* arg) {
    const char* p = reinterpret_cast<const char*>(arg);
    switch (type) {
    case 'i': return load<std::int32_t>(p);
    case 'f': return load<float>(p);
    case 's': return std::string(p);
    case 'S': return OSCStringAltValue{p};
    case 'b': return Bytes(p + 4, p + 4 + load<std::int32_t>(p));
    case 'T': return true;
    case 'F': return false;
    case 'N': return OSCNullValue{};
    case 'I': return OSCImpulseValue{};
    case 'c': return static_cast<char32_t>(load<unsigned char>(p));
    case 'd': return load<double>(p);
    case 'h': return load<std::int64_t>(p);
    case 'm': return load<OSCMIDIValue>(p);  // port, status and data bytes in wire order
    case 't': return OSCTimeTag(std::uint64_t{load<lo_timetag>(p).sec} << 32 | load<lo_timetag>(p).frac);
    }
    ADD_FAILURE() << "liblo read the unknown type " << type;
    return OSCNullValue{};
}

void addToLiblo(lo_message m, const OSCValue& v) {
    switch (v.kind()) {
    case OSCValueKind::int32: lo_message_add_int32(m, v.get<std::int32_t>()); break;
    case OSCValueKind::float32: lo_message_add_float(m, v.get<float>()); break;
    case OSCValueKind::string: lo_message_add_string(m, v.get<std::string>().c_str()); break;
    case OSCValueKind::stringAlt: lo_message_add_symbol(m, v.get<OSCStringAltValue>().string.c_str()); break;
    case OSCValueKind::blob: {
        const auto& bytes = v.get<SharedBytes>();
        lo_blob blob = lo_blob_new(static_cast<std::int32_t>(bytes.size()), bytes.data());
        lo_message_add_blob(m, blob);
        lo_blob_free(blob);
        break;
    }
    case OSCValueKind::boolean: v.get<bool>() ? lo_message_add_true(m) : lo_message_add_false(m); break;
    case OSCValueKind::null: lo_message_add_nil(m); break;
    case OSCValueKind::impulse: lo_message_add_infinitum(m); break;
    case OSCValueKind::character: lo_message_add_char(m, static_cast<char>(v.get<char32_t>())); break;
    case OSCValueKind::float64: lo_message_add_double(m, v.get<double>()); break;
    case OSCValueKind::int64: lo_message_add_int64(m, v.get<std::int64_t>()); break;
    case OSCValueKind::midi: {
        const auto& x = v.get<OSCMIDIValue>();
        std::uint8_t data[4] = {x.portID, x.status, x.data1, x.data2};
        lo_message_add_midi(m, data);
        break;
    }
    case OSCValueKind::timeTag: {
        const auto raw = v.get<OSCTimeTag>().rawValue();
        lo_message_add_timetag(m, {static_cast<std::uint32_t>(raw >> 32), static_cast<std::uint32_t>(raw)});
        break;
    }
    default: ADD_FAILURE() << "liblo has no type for " << v.description();
    }
}

// Equal values with equal descriptions, which show the sign of zero.
testing::AssertionResult identical(const std::vector<OSCValue>& actual, const std::vector<OSCValue>& expected) {
    if (actual == expected && description(actual) == description(expected)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "read " << description(actual) << ", expected " << description(expected);
}

using LoMessage = std::unique_ptr<void, void (*)(lo_message)>;

// liblo hands over bytes of its own allocation.
SharedBytes adopted(void* bytes, std::size_t size) {
    const std::unique_ptr<void, void (*)(void*)> owner(bytes, std::free);
    return SharedBytes::copy(std::span(static_cast<const std::uint8_t*>(bytes), size));
}

testing::AssertionResult libloReads(const SharedBytes& bytes, const std::string& path,
                                    const std::vector<OSCValue>& values) {
    auto copy = bytes.toVector();  // liblo takes the bytes as writable
    int result = 0;
    const LoMessage m(lo_message_deserialise(copy.data(), copy.size(), &result), lo_message_free);
    if (!m) return testing::AssertionFailure() << "liblo rejected the message, error " << result;
    const char* readPath = lo_get_path(copy.data(), static_cast<ssize_t>(copy.size()));
    if (readPath == nullptr || path != readPath) return testing::AssertionFailure() << "liblo read another path";
    const std::string types = lo_message_get_types(m.get());
    lo_arg** argv = lo_message_get_argv(m.get());
    std::vector<OSCValue> read;
    for (std::size_t i = 0; i < types.size(); ++i) read.push_back(fromLiblo(types[i], argv[i]));
    return identical(read, values);
}

void expectBothWays(const std::string& path, const std::vector<OSCValue>& values) {
    const auto ours = OSCMessage(path, values).rawData();
    EXPECT_TRUE(libloReads(ours, path, values));
    const LoMessage m(lo_message_new(), lo_message_free);
    for (const auto& value : values) addToLiblo(m.get(), value);
    std::size_t size = 0;
    void* bytes = lo_message_serialise(m.get(), path.c_str(), nullptr, &size);
    const auto theirs = adopted(bytes, size);
    EXPECT_EQ(ours, theirs) << "the two encodings differ";
    const auto packet = parseOSC(theirs);
    ASSERT_TRUE(packet && packet->isMessage());
    EXPECT_EQ(packet->message().addressPattern().rawAddress(), path);
    EXPECT_TRUE(identical(packet->message().values(), values));
}

// Each type alone, then every type in one message, so that each argument
// must start where the one before it ended, whatever its padding.
TEST(LibloInterop, MessagesBothWays) {
    const char* paths[] = {"/", "/abc", "/eos/ping", "/abcdefg"};
    std::size_t i = 0;
    for (const auto& [tag, values] : typeCases) {
        SCOPED_TRACE(tag);
        expectBothWays(paths[i++ % std::size(paths)], values);
    }
    expectBothWays("/interop/every/type", everyValue);
    expectBothWays("/eos/ping", {});
    // liblo reads empty blobs but cannot make one.
    EXPECT_TRUE(libloReads(OSCMessage("/b", {Bytes{}}).rawData(), "/b", {Bytes{}}));
}

// A bundle tree, built alike by both libraries: message k is at "/m/<k>" and
// holds the k-th of everyValue. Time tags are past or immediate: liblo holds
// back later ones.
struct Tree {
    std::uint64_t time;
    int before;  // messages before the inner bundles
    std::vector<Tree> inner;
    int after;  // and after them
};

std::pair<OSCBundle, lo_bundle> build(const Tree& tree, std::size_t& next) {
    const lo_bundle theirs =
        lo_bundle_new({static_cast<std::uint32_t>(tree.time >> 32), static_cast<std::uint32_t>(tree.time)});
    std::vector<OSCPacket> ours;
    const auto addMessages = [&](int count) {
        for (; count > 0; --count, ++next) {
            const auto path = "/m/" + std::to_string(next);
            const auto& value = everyValue[next % everyValue.size()];
            ours.emplace_back(OSCMessage(path, {value}));
            lo_message m = lo_message_new();
            addToLiblo(m, value);
            lo_bundle_add_message(theirs, path.c_str(), m);
        }
    };
    addMessages(tree.before);
    for (const auto& inner : tree.inner) {
        auto built = build(inner, next);
        ours.emplace_back(std::move(built.first));
        lo_bundle_add_bundle(theirs, built.second);
    }
    addMessages(tree.after);
    return {OSCBundle(std::move(ours), OSCTimeTag(tree.time)), theirs};
}

// liblo has no public bundle decoder; its bundles and ours are the same
// bytes, and liblo reads its own.
TEST(LibloInterop, NestedBundlesBothWays) {
    constexpr std::uint64_t y2000 = std::uint64_t{0xBC17C200} << 32, second = std::uint64_t{1} << 32;
    const std::pair<const char*, Tree> trees[] = {
        {"empty immediate bundle", {1, 0, {}, 0}},
        {"three levels, and an immediate bundle inside a timed one",
         {y2000 + 1, 2, {{y2000 + 10 * second + 0x80000000, 0, {{y2000 + 20 * second, 1, {}, 0}}, 1}, {1, 2, {}, 0}},
          1}},
    };
    for (const auto& [name, tree] : trees) {
        SCOPED_TRACE(name);
        std::size_t next = 0;
        const auto [ours, theirs] = build(tree, next);
        std::size_t size = 0;
        void* bytes = lo_bundle_serialise(theirs, nullptr, &size);
        const auto theirBytes = adopted(bytes, size);
        lo_bundle_free_recursive(theirs);

        EXPECT_EQ(ours.rawData(), theirBytes) << "the two encodings differ";
        const auto packet = parseOSC(theirBytes);
        ASSERT_TRUE(packet && packet->isBundle());
        EXPECT_EQ(packet->bundle(), ours);
        EXPECT_EQ(packet->description(), OSCPacket(ours).description()) << "time tags differ";
    }
}

}  // namespace
}  // namespace vorn::osc
