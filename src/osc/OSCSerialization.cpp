#include "osc/OSCSerialization.h"

#include "osc/OSCBuiltinCoding.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessageEncoder.h"
#include "osc/detail/OSCBytes.h"
#include "osc/detail/OSCSerializationTable.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>

namespace vorn::osc {
namespace {

using TypePtr = std::shared_ptr<const OSCValueType>;

bool claims(const OSCValueTagIdentity& identity, char tag) {
    if (identity.kind == OSCValueTagIdentity::Kind::variadic) return false;
    return std::find(identity.tags.begin(), identity.tags.end(), tag) != identity.tags.end();
}

bool isCandidate(const OSCValueTagIdentity& identity, char tag) {
    return identity.kind == OSCValueTagIdentity::Kind::variadic || claims(identity, tag);
}

OSCValueEncoderBlock scalarEncoder(OSCValueKind kind, bool variable) {
    auto block = [kind](const OSCValue& value, std::vector<std::uint8_t>& out) {
        if (value.kind() != kind) throw OSCEncodeError::general();
        builtin::appendScalar(value, out);
        return builtin::scalarTag(value);
    };
    if (variable) return OSCValueVariableEncoder{block};
    return OSCValueAtomicEncoder{block};
}

TypePtr atomicType(const char* name, OSCValueKind kind, char tag) {
    return std::make_shared<const OSCValueType>(OSCValueType{
        name, OSCValueTagIdentity::atomic(tag), scalarEncoder(kind, false),
        OSCValueAtomicDecoder{[kind, tag](OSCValueDecoder& d) { return builtin::decodeScalar(kind, tag, d); }}, kind});
}

TypePtr booleanType() {
    return std::make_shared<const OSCValueType>(OSCValueType{
        "boolean", OSCValueTagIdentity::variable({'T', 'F'}), scalarEncoder(OSCValueKind::boolean, true),
        OSCValueVariableDecoder{
            [](char tag, OSCValueDecoder& d) { return builtin::decodeScalar(OSCValueKind::boolean, tag, d); }},
        OSCValueKind::boolean});
}

TypePtr arrayType() {
    return std::make_shared<const OSCValueType>(OSCValueType{
        "array", OSCValueTagIdentity::variadic(2, std::nullopt),
        OSCValueVariadicEncoder{[](const OSCValue& value, std::vector<std::uint8_t>& out) {
            if (value.kind() != OSCValueKind::array) throw OSCEncodeError::general();
            return OSCMessageEncoder::encodeArray(value, out);
        }},
        OSCValueVariadicDecoder{builtin::decodeArray}, OSCValueKind::array});
}

}  // namespace

struct OSCSerialization::State {
    std::mutex mutex;  // serialises registrations; decoding never takes it
    std::atomic<const Table*> current{nullptr};
    std::vector<std::unique_ptr<const Table>> tables;

    void append(TypePtr type) {
        auto next = current.load() ? std::make_unique<Table>(*current.load()) : std::make_unique<Table>();
        for (int c = 0; c < 256; ++c) {
            if (isCandidate(type->identity, static_cast<char>(c))) next->candidates[c].push_back(type);
        }
        next->types.push_back(std::move(type));
        next->update();
        current.store(next.get(), std::memory_order_release);
        tables.push_back(std::move(next));
    }
};

OSCSerialization::OSCSerialization() : state_(std::make_unique<State>()) {
    // The order is part of the format: it decides which type wins a tag.
    for (auto type : {atomicType("int32", OSCValueKind::int32, 'i'), atomicType("float32", OSCValueKind::float32, 'f'),
                      atomicType("string", OSCValueKind::string, 's'), atomicType("blob", OSCValueKind::blob, 'b'),
                      booleanType(), atomicType("character", OSCValueKind::character, 'c'),
                      atomicType("float64", OSCValueKind::float64, 'd'), atomicType("int64", OSCValueKind::int64, 'h'),
                      atomicType("impulse", OSCValueKind::impulse, 'I'), atomicType("midi", OSCValueKind::midi, 'm'),
                      atomicType("null", OSCValueKind::null, 'N'),
                      atomicType("stringAlt", OSCValueKind::stringAlt, 'S'),
                      atomicType("timeTag", OSCValueKind::timeTag, 't'), arrayType()}) {
        state_->append(std::move(type));
    }
}

OSCSerialization& OSCSerialization::shared() {
    static OSCSerialization instance;
    return instance;
}

void OSCSerialization::registerType(std::shared_ptr<const OSCValueType> type) {
    if (!type) throw std::invalid_argument("OSCSerialization::registerType: no type");
    for (const char tag : type->identity.tags) {
        if (bytes::breaksFraming(tag)) throw OSCSerializationError::tagBreaksFraming(tag);
    }
    std::lock_guard lock(state_->mutex);
    const Table& table = *state_->current.load();
    for (const auto& registered : table.types) {
        for (char tag : type->identity.tags) {
            if (claims(type->identity, tag) && claims(registered->identity, tag)) throw OSCSerializationError();
        }
    }
    state_->append(std::move(type));
}

std::vector<std::shared_ptr<const OSCValueType>> OSCSerialization::lookup(char tag) const {
    return table().lookup(tag);
}

std::vector<std::shared_ptr<const OSCValueType>> OSCSerialization::types() const { return table().types; }

const OSCValueType& OSCSerialization::builtin(OSCValueKind kind) const {
    const auto index = static_cast<std::size_t>(kind);
    const auto& types = table().types;
    if (kind == OSCValueKind::custom || index >= types.size()) throw std::out_of_range("not a built-in value kind");
    return *types[index];
}

const OSCSerialization::Table& OSCSerialization::table() const noexcept {
    return *state_->current.load(std::memory_order_acquire);
}

}  // namespace vorn::osc

std::size_t std::hash<vorn::osc::OSCValueTagIdentity>::operator()(
    const vorn::osc::OSCValueTagIdentity& identity) const noexcept {
    std::size_t seed = static_cast<std::size_t>(identity.kind);
    const auto combine = [&seed](std::size_t value) {
        seed ^= value + 0x9E3779B97F4A7C15ULL + (seed << 6U) + (seed >> 2U);
    };
    combine(std::hash<std::string_view>{}(std::string_view(identity.tags.data(), identity.tags.size())));
    combine(std::hash<std::optional<int>>{}(identity.minCount));
    combine(std::hash<std::optional<int>>{}(identity.maxCount));
    return seed;
}
