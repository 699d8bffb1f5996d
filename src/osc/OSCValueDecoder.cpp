#include "osc/OSCValueDecoder.h"

#include "osc/OSCBuiltinCoding.h"
#include "osc/OSCErrors.h"
#include "osc/detail/OSCBytes.h"
#include "osc/detail/OSCSerializationTable.h"

#include <bit>
#include <cstring>
#include <string>

namespace vorn::osc {
namespace {

std::string tagText(char tag) { return std::string(1, tag); }

// A variadic value nests inside its caller; refuse to open one too many.
class NestingGuard {
public:
    explicit NestingGuard(int& depth) : depth_(depth) {
        if (depth_ >= bytes::maxNestingDepth) {
            throw OSCDecodeError::malformed("Arrays and bundles nest deeper than 64 levels.");
        }
        ++depth_;
    }
    ~NestingGuard() { --depth_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

private:
    int& depth_;
};

}  // namespace

SharedBytes OSCValueDecoder::read(std::int64_t count) {
    const auto bytes = readSpan(count);
    return data_.slice(static_cast<std::size_t>(bytes.data() - data_.data()), bytes.size());
}

std::span<const std::uint8_t> OSCValueDecoder::readSpan(std::int64_t count) {
    if (count < 0) throw OSCDecodeError::internalInconsistency("Negative byte count requested: " + std::to_string(count));
    if (static_cast<std::uint64_t>(count) > remainingCount()) notEnoughBytes(static_cast<std::size_t>(count), remainingCount());
    const auto result = remaining().first(static_cast<std::size_t>(count));
    pos_ += result.size();
    return result;
}

void OSCValueDecoder::advance(std::int64_t count) {
    if (count < 0) throw OSCDecodeError::internalInconsistency("Negative byte count requested: " + std::to_string(count));
    if (static_cast<std::uint64_t>(count) > remainingCount()) {
        throw OSCDecodeError::malformed("Attempted to advance byte read position past end of available bytes. " +
                                        std::to_string(remainingCount()) + " bytes remain but " +
                                        std::to_string(count) + " were advanced.");
    }
    pos_ += static_cast<std::size_t>(count);
}

std::span<const std::uint8_t> OSCValueDecoder::readASCIIText(const char* failure) {
    const auto rest = remaining();
    const auto chunk = bytes::scanString(rest);
    if (chunk.status != bytes::StringChunk::Status::ok || !chunk.ascii) badText(failure);
    pos_ += chunk.size;
    return rest.first(chunk.length);
}

std::optional<OSCValueKind> OSCValueDecoder::leadingScalar(char tag) const noexcept {
    return table_->leadingScalar(tag);
}

void OSCValueDecoder::notEnoughBytes(std::size_t count, std::size_t remaining) {
    throw OSCDecodeError::malformed("Not enough bytes remain in data stream. Attempted to read " + std::to_string(count) +
                                    " bytes but only " + std::to_string(remaining) + " bytes remain.");
}

void OSCValueDecoder::shortRead(const char* type) {
    throw OSCDecodeError::malformed(std::string("Not enough bytes while reading ") + type + " data chunk.");
}

std::span<const std::uint8_t> OSCValueDecoder::readNullTerminated() {
    bool ascii = false;
    return readNullTerminated(ascii);
}

std::span<const std::uint8_t> OSCValueDecoder::readNullTerminated(bool& ascii) {
    const auto rest = remaining();
    const auto chunk = bytes::scanString(rest);
    if (chunk.status != bytes::StringChunk::Status::ok) throw OSCDecodeError::malformed(bytes::chunkError(chunk.status));
    ascii = chunk.ascii;
    pos_ += chunk.size;
    return rest.first(chunk.length);
}

void OSCValueDecoder::badText(const char* failure) { throw OSCDecodeError::malformed(failure); }

std::optional<std::string> OSCValueDecoder::readASCIIString() {
    bool ascii = false;
    const auto chunk = readNullTerminated(ascii);
    if (!ascii) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(chunk.data()), chunk.size());
}

SharedBytes OSCValueDecoder::readBlob() {
    // Nothing moves until the whole blob has been checked.
    const auto blob = bytes::scanBlob(remaining());
    if (blob.error) throw OSCDecodeError::malformed(blob.error);
    const std::size_t start = pos_ + 4;
    pos_ += blob.size;
    return data_.slice(start, blob.length);
}

OSCValueVariadicDecoder::Result OSCValueDecoder::decodeValue(std::span<const char> tags) {
    if (tags.empty()) throw OSCDecodeError::internalInconsistency("No type tag to decode.");
    if (const auto kind = table_->leadingScalar(tags.front())) {
        return {1, builtin::decodeScalar(*kind, tags.front(), *this)};
    }
    return decodeWithCandidates(tags);
}

std::size_t OSCValueDecoder::decodeValue(std::span<const char> tags, std::vector<OSCValue>& out) {
    if (tags.empty()) throw OSCDecodeError::internalInconsistency("No type tag to decode.");
    if (const auto kind = table_->leadingScalar(tags.front())) {
        builtin::decodeScalarInto(*kind, tags.front(), *this, out);
        return 1;
    }
    auto result = decodeWithCandidates(tags);
    out.push_back(std::move(result.value));
    return result.tagCount;
}

OSCValueVariadicDecoder::Result OSCValueDecoder::decodeWithCandidates(std::span<const char> tags) {
    const char tag = tags.front();
    const auto& candidates = table_->lookup(tag);
    if (candidates.empty()) throw OSCDecodeError::malformed("No concrete type found to decode OSC type tag: " + tagText(tag));

    for (const auto& type : candidates) {
        if (type->builtin) {
            if (*type->builtin != OSCValueKind::array) return {1, builtin::decodeScalar(*type->builtin, tag, *this)};
            // The level is counted only for a real array: any other tag at
            // the deepest level is not an array's business.
            if (tag != '[') continue;
            NestingGuard guard(depth_);
            if (auto result = builtin::decodeArray(tags, *this)) return std::move(*result);
            continue;
        }
        const auto& decoder = type->decoder;
        if (const auto* atomic = std::get_if<OSCValueAtomicDecoder>(&decoder); atomic && atomic->block) {
            return {1, atomic->block(*this)};
        }
        if (const auto* variable = std::get_if<OSCValueVariableDecoder>(&decoder); variable && variable->block) {
            return {1, variable->block(tag, *this)};
        }
        if (const auto* variadic = std::get_if<OSCValueVariadicDecoder>(&decoder); variadic && variadic->block) {
            // A registered variadic type may nest as an array does; where no
            // array may open, it is not offered the tags (the encoder refuses
            // to write it there).
            if (depth_ >= bytes::maxNestingDepth) continue;
            NestingGuard guard(depth_);
            auto result = variadic->block(tags, *this);
            if (!result) continue;
            // A decoder that took no tags, or more than there are, would stall
            // or overrun the walk over the type-tag string.
            if (result->tagCount == 0 || result->tagCount > tags.size()) {
                throw OSCDecodeError::internalInconsistency("Decoder for OSC type tag " + tagText(tag) + " took " +
                                                            std::to_string(result->tagCount) + " of " +
                                                            std::to_string(tags.size()) + " tags.");
            }
            return std::move(*result);
        }
        throw OSCDecodeError::malformed("No decoder is implemented for OSC type tag: " + tagText(tag));
    }
    throw OSCDecodeError::malformed("No decoder found to decode OSC type tag: " + tagText(tag));
}

}  // namespace vorn::osc
