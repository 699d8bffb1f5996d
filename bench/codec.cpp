// Our codec beside liblo and oscpack on the same packets, in one run.
//
// Each library does what its own users would write: encoding builds the
// message from its values and serialises it to bytes; decoding parses one
// datagram and reads the address and every argument. liblo has no public
// bundle decoder, so its bundle case walks the bundle framing (a size before
// each element) and decodes each message with lo_message_deserialise; that
// is the least work a liblo user could do there. Matching takes one address
// pattern against one local address.
//
// After the usual report comes a table of the CPU time per operation and the
// ratios of ours to theirs (below 1 means ours is faster). CPU time rather
// than wall time, because on a shared machine the wall clock also counts the
// time other processes held the core.

#include "osc/OSCAddressPattern.h"
#include "osc/OSCBundle.h"
#include "osc/OSCBundleView.h"
#include "osc/OSCMessage.h"
#include "osc/OSCMessageView.h"
#include "osc/OSCMessageWriter.h"

#include "TableReporter.h"

#include <benchmark/benchmark.h>
#include <lo/lo.h>
#include <osc/OscOutboundPacketStream.h>
#include <osc/OscReceivedElements.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace vorn::osc;
using vorn::SharedBytes;

constexpr const char* pingAddress = "/eos/ping";
constexpr const char* typicalAddress = "/eos/out/param/intensity";
constexpr std::int32_t typicalInt = 42;
constexpr float typicalFloat = 0.5f;
constexpr const char* typicalString = "hello world";
constexpr int bundleSize = 10;

const std::array<std::uint8_t, 64>& blobBytes() {
    static const auto bytes = [] {
        std::array<std::uint8_t, 64> b{};
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
        return b;
    }();
    return bytes;
}

// The datagrams every decoder reads, encoded once by our codec.
const std::vector<std::uint8_t>& pingDatagram() {
    static const auto bytes = OSCMessage(pingAddress).rawData().toVector();
    return bytes;
}

OSCMessage typicalMessage() {
    return OSCMessage(typicalAddress, {typicalInt, typicalFloat, typicalString, SharedBytes::copy(blobBytes())});
}

const std::vector<std::uint8_t>& typicalDatagram() {
    static const auto bytes = typicalMessage().rawData().toVector();
    return bytes;
}

const std::vector<std::uint8_t>& bundleDatagram() {
    static const auto bytes = [] {
        std::vector<OSCPacket> elements(bundleSize, typicalMessage());
        return OSCBundle(std::move(elements)).rawData().toVector();
    }();
    return bytes;
}

std::int32_t readBigEndian32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
                                     std::uint32_t{p[3]});
}

// ---------------------------------------------------------------- vorn

void encodePingVorn(benchmark::State& state) {
    for (auto _ : state) {
        OSCMessage message(pingAddress);
        auto bytes = message.rawData();
        benchmark::DoNotOptimize(bytes.data());
    }
}

void decodePingVorn(benchmark::State& state) {
    const auto& datagram = pingDatagram();
    for (auto _ : state) {
        auto packet = parseOSC(std::span<const std::uint8_t>(datagram));
        benchmark::DoNotOptimize(packet->message().addressPattern().rawAddress().data());
    }
}

void encodeTypicalVorn(benchmark::State& state) {
    const auto blob = SharedBytes::copy(blobBytes());
    for (auto _ : state) {
        OSCMessage message(typicalAddress, {typicalInt, typicalFloat, typicalString, blob});
        auto bytes = message.rawData();
        benchmark::DoNotOptimize(bytes.data());
    }
}

void readTypicalVorn(const OSCMessage& message) {
    benchmark::DoNotOptimize(message.addressPattern().rawAddress().data());
    const auto& values = message.values();
    benchmark::DoNotOptimize(values.at(0).get<std::int32_t>());
    benchmark::DoNotOptimize(values.at(1).get<float>());
    benchmark::DoNotOptimize(values.at(2).get<std::string>().data());
    const auto& blob = values.at(3).get<SharedBytes>();
    benchmark::DoNotOptimize(blob.data());
    benchmark::DoNotOptimize(blob.size());
}

void decodeTypicalVorn(benchmark::State& state) {
    const auto& datagram = typicalDatagram();
    for (auto _ : state) {
        auto packet = parseOSC(std::span<const std::uint8_t>(datagram));
        readTypicalVorn(packet->message());
    }
}

void encodeBundleVorn(benchmark::State& state) {
    const auto blob = SharedBytes::copy(blobBytes());
    for (auto _ : state) {
        std::vector<OSCPacket> elements;
        elements.reserve(bundleSize);
        for (int i = 0; i < bundleSize; ++i)
            elements.emplace_back(OSCMessage(typicalAddress, {typicalInt, typicalFloat, typicalString, blob}));
        OSCBundle bundle(std::move(elements));
        auto bytes = bundle.rawData();
        benchmark::DoNotOptimize(bytes.data());
    }
}

void decodeBundleVorn(benchmark::State& state) {
    const auto& datagram = bundleDatagram();
    for (auto _ : state) {
        auto packet = parseOSC(std::span<const std::uint8_t>(datagram));
        const auto& bundle = packet->bundle();
        benchmark::DoNotOptimize(bundle.timeTag().rawValue());
        for (const auto& element : bundle.elements()) readTypicalVorn(element.message());
    }
}

// ---------------------------------------------------------------- vorn, in place
//
// The message view reads arguments straight from the datagram and the writer
// writes into a buffer the caller keeps, as oscpack's users do.

void encodePingInPlace(benchmark::State& state) {
    std::vector<std::uint8_t> buffer;
    for (auto _ : state) {
        buffer.clear();
        OSCMessageWriter::append(buffer, pingAddress);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();  // the bytes must be written, not only their place
    }
}

void decodePingInPlace(benchmark::State& state) {
    const auto& datagram = pingDatagram();
    for (auto _ : state) {
        const auto view = OSCMessageView::parse(datagram);
        benchmark::DoNotOptimize(view->address().data());
    }
}

void writeTypicalInPlace(std::vector<std::uint8_t>& buffer) {
    OSCMessageWriter::append(buffer, typicalAddress, typicalInt, typicalFloat, typicalString, OSCBlobRef{blobBytes()});
}

void encodeTypicalInPlace(benchmark::State& state) {
    std::vector<std::uint8_t> buffer;
    for (auto _ : state) {
        buffer.clear();
        writeTypicalInPlace(buffer);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();  // the bytes must be written, not only their place
    }
}

void readTypicalView(const OSCMessageView& view) {
    benchmark::DoNotOptimize(view.address().data());
    auto argument = view.begin();
    benchmark::DoNotOptimize((*argument++).int32());
    benchmark::DoNotOptimize((*argument++).float32());
    benchmark::DoNotOptimize((*argument++).string().data());
    const auto blob = (*argument).blob();
    benchmark::DoNotOptimize(blob.data());
    benchmark::DoNotOptimize(blob.size());
}

void decodeTypicalInPlace(benchmark::State& state) {
    const auto& datagram = typicalDatagram();
    for (auto _ : state) {
        const auto view = OSCMessageView::parse(datagram);
        if (!view) throw std::runtime_error("the view refused the datagram");
        readTypicalView(*view);
    }
}

void encodeBundleInPlace(benchmark::State& state) {
    std::vector<std::uint8_t> buffer;
    for (auto _ : state) {
        buffer.clear();
        OSCMessageWriter::appendBundleHeader(buffer, OSCTimeTag::immediate());
        for (int i = 0; i < bundleSize; ++i) {
            OSCMessageWriter::appendElement(buffer, typicalAddress, typicalInt, typicalFloat, typicalString,
                                            OSCBlobRef{blobBytes()});
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();  // the bytes must be written, not only their place
    }
}

// The bundle view checks every element's framing first, then each message
// is read from the view it keeps.
void decodeBundleInPlace(benchmark::State& state) {
    const auto& datagram = bundleDatagram();
    for (auto _ : state) {
        const auto bundle = OSCBundleView::parse(datagram);
        if (!bundle) throw std::runtime_error("the view refused the datagram");
        benchmark::DoNotOptimize(bundle->timeTag().rawValue());
        for (const auto& element : bundle->messages()) readTypicalView(element.message);
    }
}

// ---------------------------------------------------------------- liblo

constexpr lo_timetag loImmediate{0, 1};

// liblo's argument pointers point into the packed message and are often not
// aligned for lo_arg; a copy reads them safely at no measurable cost.
template <class T>
T loadArgument(const lo_arg* argument) {
    T value;
    std::memcpy(&value, argument, sizeof value);
    return value;
}

lo_message typicalMessageLiblo(lo_blob blob) {
    lo_message message = lo_message_new();
    lo_message_add_int32(message, typicalInt);
    lo_message_add_float(message, typicalFloat);
    lo_message_add_string(message, typicalString);
    lo_message_add_blob(message, blob);
    return message;
}

void encodePingLiblo(benchmark::State& state) {
    for (auto _ : state) {
        lo_message message = lo_message_new();
        std::size_t size = 0;
        void* bytes = lo_message_serialise(message, pingAddress, nullptr, &size);
        benchmark::DoNotOptimize(bytes);
        std::free(bytes);
        lo_message_free(message);
    }
}

void decodePingLiblo(benchmark::State& state) {
    auto datagram = pingDatagram();
    for (auto _ : state) {
        int result = 0;
        lo_message message = lo_message_deserialise(datagram.data(), datagram.size(), &result);
        benchmark::DoNotOptimize(lo_get_path(datagram.data(), static_cast<ssize_t>(datagram.size())));
        lo_message_free(message);
    }
}

void encodeTypicalLiblo(benchmark::State& state) {
    lo_blob blob = lo_blob_new(static_cast<std::int32_t>(blobBytes().size()), blobBytes().data());
    for (auto _ : state) {
        lo_message message = typicalMessageLiblo(blob);
        std::size_t size = 0;
        void* bytes = lo_message_serialise(message, typicalAddress, nullptr, &size);
        benchmark::DoNotOptimize(bytes);
        std::free(bytes);
        lo_message_free(message);
    }
    lo_blob_free(blob);
}

// Decodes one message of the typical shape at `data` and reads it all.
void decodeTypicalLiblo(std::uint8_t* data, std::size_t size) {
    int result = 0;
    lo_message message = lo_message_deserialise(data, size, &result);
    if (message == nullptr) throw std::runtime_error("liblo rejected the datagram");
    benchmark::DoNotOptimize(lo_get_path(data, static_cast<ssize_t>(size)));
    const char* types = lo_message_get_types(message);
    lo_arg** argv = lo_message_get_argv(message);
    benchmark::DoNotOptimize(types);
    benchmark::DoNotOptimize(loadArgument<std::int32_t>(argv[0]));
    benchmark::DoNotOptimize(loadArgument<float>(argv[1]));
    benchmark::DoNotOptimize(&argv[2]->s);
    benchmark::DoNotOptimize(loadArgument<std::int32_t>(argv[3]));
    benchmark::DoNotOptimize(&argv[3]->blob.data);
    lo_message_free(message);
}

void decodeTypicalLibloCase(benchmark::State& state) {
    auto datagram = typicalDatagram();
    for (auto _ : state) decodeTypicalLiblo(datagram.data(), datagram.size());
}

void encodeBundleLiblo(benchmark::State& state) {
    lo_blob blob = lo_blob_new(static_cast<std::int32_t>(blobBytes().size()), blobBytes().data());
    for (auto _ : state) {
        lo_bundle bundle = lo_bundle_new(loImmediate);
        for (int i = 0; i < bundleSize; ++i) lo_bundle_add_message(bundle, typicalAddress, typicalMessageLiblo(blob));
        std::size_t size = 0;
        void* bytes = lo_bundle_serialise(bundle, nullptr, &size);
        benchmark::DoNotOptimize(bytes);
        std::free(bytes);
        lo_bundle_free_recursive(bundle);
    }
    lo_blob_free(blob);
}

void decodeBundleLiblo(benchmark::State& state) {
    auto datagram = bundleDatagram();
    for (auto _ : state) {
        std::uint8_t* p = datagram.data();
        std::uint8_t* const end = p + datagram.size();
        if (datagram.size() < 16 || std::string_view(reinterpret_cast<char*>(p), 8) != std::string_view("#bundle\0", 8))
            throw std::runtime_error("not a bundle");
        lo_timetag tag{static_cast<std::uint32_t>(readBigEndian32(p + 8)),
                       static_cast<std::uint32_t>(readBigEndian32(p + 12))};
        benchmark::DoNotOptimize(tag);
        for (p += 16; end - p >= 4;) {
            const auto size = readBigEndian32(p);
            p += 4;
            if (size < 0 || size > end - p) throw std::runtime_error("bad element size");
            decodeTypicalLiblo(p, static_cast<std::size_t>(size));
            p += size;
        }
    }
}

// ---------------------------------------------------------------- oscpack

// oscpack writes into a buffer that its caller provides, here one on the stack.
template <std::size_t bufferSize, class Write>
void encodeOscpack(benchmark::State& state, Write write) {
    std::array<char, bufferSize> buffer{};
    for (auto _ : state) {
        osc::OutboundPacketStream stream(buffer.data(), buffer.size());
        write(stream);
        benchmark::DoNotOptimize(stream.Data());
        benchmark::DoNotOptimize(stream.Size());
    }
}

void encodePingOscpack(benchmark::State& state) {
    encodeOscpack<64>(state, [](osc::OutboundPacketStream& stream) {
        stream << osc::BeginMessage(pingAddress) << osc::EndMessage;
    });
}

void decodePingOscpack(benchmark::State& state) {
    const auto& datagram = pingDatagram();
    for (auto _ : state) {
        osc::ReceivedPacket packet(reinterpret_cast<const char*>(datagram.data()), datagram.size());
        osc::ReceivedMessage message(packet);
        benchmark::DoNotOptimize(message.AddressPattern());
    }
}

void writeTypicalOscpack(osc::OutboundPacketStream& stream) {
    stream << osc::BeginMessage(typicalAddress) << typicalInt << typicalFloat << typicalString
           << osc::Blob(blobBytes().data(), static_cast<osc::osc_bundle_element_size_t>(blobBytes().size()))
           << osc::EndMessage;
}

void encodeTypicalOscpack(benchmark::State& state) { encodeOscpack<256>(state, writeTypicalOscpack); }

void readTypicalOscpack(const osc::ReceivedMessage& message) {
    benchmark::DoNotOptimize(message.AddressPattern());
    auto arg = message.ArgumentsBegin();
    benchmark::DoNotOptimize((arg++)->AsInt32());
    benchmark::DoNotOptimize((arg++)->AsFloat());
    benchmark::DoNotOptimize((arg++)->AsString());
    const void* data = nullptr;
    osc::osc_bundle_element_size_t size = 0;
    (arg++)->AsBlob(data, size);
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(size);
}

void decodeTypicalOscpack(benchmark::State& state) {
    const auto& datagram = typicalDatagram();
    for (auto _ : state) {
        osc::ReceivedPacket packet(reinterpret_cast<const char*>(datagram.data()), datagram.size());
        readTypicalOscpack(osc::ReceivedMessage(packet));
    }
}

void encodeBundleOscpack(benchmark::State& state) {
    encodeOscpack<2048>(state, [](osc::OutboundPacketStream& stream) {
        stream << osc::BeginBundleImmediate;
        for (int i = 0; i < bundleSize; ++i) writeTypicalOscpack(stream);
        stream << osc::EndBundle;
    });
}

void decodeBundleOscpack(benchmark::State& state) {
    const auto& datagram = bundleDatagram();
    for (auto _ : state) {
        osc::ReceivedPacket packet(reinterpret_cast<const char*>(datagram.data()), datagram.size());
        osc::ReceivedBundle bundle(packet);
        benchmark::DoNotOptimize(bundle.TimeTag());
        for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element)
            readTypicalOscpack(osc::ReceivedMessage(*element));
    }
}

// ---------------------------------------------------------------- matching

// A pattern as a console's remote would send it, against the address of one
// of our methods. oscpack has no pattern matching.
constexpr const char* typicalPattern = "/eos/out/*/{intensity,level}";

void matchTypicalVorn(benchmark::State& state) {
    const OSCAddressPattern pattern(typicalPattern);
    for (auto _ : state) benchmark::DoNotOptimize(pattern.matches(typicalAddress));
}

void matchTypicalLiblo(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(lo_pattern_match(typicalAddress, typicalPattern));
}

// What a hostile peer may send: twenty asterisks separated by letters, against
// a 200-character part that they almost fit. Plain backtracking tries every
// way of sharing the part among the asterisks; liblo's had not answered after
// 30 s, so it is left out.
void matchHostileVorn(benchmark::State& state) {
    std::string text = "/";
    for (int i = 0; i < 20; ++i) text += "*a";
    const OSCAddressPattern pattern(text + "*b");
    const std::string address = "/" + std::string(200, 'a');
    for (auto _ : state) benchmark::DoNotOptimize(pattern.matches(address));
}

// ---------------------------------------------------------------- report

// One line per case: CPU nanoseconds per operation for each library and the
// ratios of ours to theirs.
vorn::bench::TableReporter::Figures cpuTime(const benchmark::BenchmarkReporter::Run& run) {
    return {{"ns", vorn::bench::TableReporter::nanoseconds(run)}};
}

void writeTable(std::ostream& out, const vorn::bench::TableReporter::Table& table) {
    using vorn::bench::TableReporter;
    out << "| case | vorn (ns) | in place (ns) | liblo (ns) | oscpack (ns) | vorn/liblo | vorn/oscpack | in place/liblo "
           "| in place/oscpack |\n"
        << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const std::string name : {"encode_ping", "decode_ping", "encode_typical", "decode_typical", "encode_bundle10",
                                   "decode_bundle10", "match_typical", "match_hostile"}) {
        const double vorn = TableReporter::figure(table, name + "/vorn", "ns");
        const double liblo = TableReporter::figure(table, name + "/liblo", "ns");
        const double oscpack = TableReporter::figure(table, name + "/oscpack", "ns");
        const double inPlace = TableReporter::figure(table, name + "/inplace", "ns");
        if (vorn < 0 && liblo < 0 && oscpack < 0) continue;
        out << "| " << name << " | " << TableReporter::format(vorn, 0) << " | " << TableReporter::format(inPlace, 0)
            << " | " << TableReporter::format(liblo, 0) << " | " << TableReporter::format(oscpack, 0) << " | "
            << TableReporter::ratio(vorn, liblo) << " | " << TableReporter::ratio(vorn, oscpack) << " | "
            << TableReporter::ratio(inPlace, liblo) << " | " << TableReporter::ratio(inPlace, oscpack) << " |\n";
    }
}

void registerAll() {
    struct Case {
        const char* name;
        void (*function)(benchmark::State&);
    };
    const Case cases[] = {
        {"encode_ping/vorn", encodePingVorn},
        {"encode_ping/inplace", encodePingInPlace},
        {"encode_ping/liblo", encodePingLiblo},
        {"encode_ping/oscpack", encodePingOscpack},
        {"decode_ping/vorn", decodePingVorn},
        {"decode_ping/inplace", decodePingInPlace},
        {"decode_ping/liblo", decodePingLiblo},
        {"decode_ping/oscpack", decodePingOscpack},
        {"encode_typical/vorn", encodeTypicalVorn},
        {"encode_typical/inplace", encodeTypicalInPlace},
        {"encode_typical/liblo", encodeTypicalLiblo},
        {"encode_typical/oscpack", encodeTypicalOscpack},
        {"decode_typical/vorn", decodeTypicalVorn},
        {"decode_typical/inplace", decodeTypicalInPlace},
        {"decode_typical/liblo", decodeTypicalLibloCase},
        {"decode_typical/oscpack", decodeTypicalOscpack},
        {"encode_bundle10/vorn", encodeBundleVorn},
        {"encode_bundle10/inplace", encodeBundleInPlace},
        {"encode_bundle10/liblo", encodeBundleLiblo},
        {"encode_bundle10/oscpack", encodeBundleOscpack},
        {"decode_bundle10/vorn", decodeBundleVorn},
        {"decode_bundle10/inplace", decodeBundleInPlace},
        {"decode_bundle10/liblo", decodeBundleLiblo},
        {"decode_bundle10/oscpack", decodeBundleOscpack},
        {"match_typical/vorn", matchTypicalVorn},
        {"match_typical/liblo", matchTypicalLiblo},
        {"match_hostile/vorn", matchHostileVorn},
    };
    for (const auto& c : cases) benchmark::RegisterBenchmark(c.name, c.function);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    registerAll();
    vorn::bench::TableReporter reporter(cpuTime, writeTable);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
