#include "osc/OSCValue.h"

#include "osc/OSCErrors.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace vorn::osc {
namespace {

// Through h, the widest integer tag there is.
std::int64_t checkedInt64(unsigned long long v) {
    if (v > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) throw OSCEncodeError::general();
    return static_cast<std::int64_t>(v);
}

template <class Float>
std::string floatText(Float v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    // 1.0 rather than 1, so that a float never reads as an integer.
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string utf8(char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default: out += c;
        }
    }
    return out + '"';
}

struct Describe {
    bool quote;
    std::string operator()(std::int32_t v) const { return std::to_string(v); }
    std::string operator()(float v) const { return floatText(v); }
    std::string operator()(const std::string& v) const { return quote ? quoted(v) : v; }
    std::string operator()(const SharedBytes& v) const { return std::to_string(v.size()) + " bytes"; }
    std::string operator()(bool v) const { return v ? "true" : "false"; }
    std::string operator()(char32_t v) const { return quote ? quoted(utf8(v)) : utf8(v); }
    std::string operator()(double v) const { return floatText(v); }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(const OSCStringAltValue& v) const { return quote ? quoted(v.string) : v.string; }
    std::string operator()(const std::shared_ptr<const OSCCustomValue>& v) const { return v->description(); }
    template <class T>
    std::string operator()(const T& v) const {
        return v.description();
    }
};

}  // namespace

OSCValue::OSCValue(std::shared_ptr<const OSCCustomValue> v) {
    // No tag could carry an absent value.
    if (!v) throw OSCEncodeError::general();
    storage_ = std::move(v);
}

OSCValue::OSCValue(unsigned long v) : storage_(checkedInt64(v)) {}
OSCValue::OSCValue(unsigned long long v) : storage_(checkedInt64(v)) {}

std::string OSCValue::description() const { return std::visit(Describe{false}, storage_); }
std::string OSCValue::debugDescription() const { return std::visit(Describe{true}, storage_); }

bool operator==(const OSCValue& a, const OSCValue& b) {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == OSCValueKind::custom) {
        const auto& x = *a.get<std::shared_ptr<const OSCCustomValue>>();
        const auto& y = *b.get<std::shared_ptr<const OSCCustomValue>>();
        return &x.type() == &y.type() && x.equals(y);
    }
    return a.storage() == b.storage();
}

bool operator==(const OSCArrayValue& a, const OSCArrayValue& b) { return a.elements == b.elements; }

std::string OSCArrayValue::description() const { return osc::description(elements); }

std::string OSCMIDIValue::description() const {
    return "MIDI(portID: " + std::to_string(portID) + ", status: " + std::to_string(status) +
           ", data1: " + std::to_string(data1) + ", data2: " + std::to_string(data2) + ")";
}

std::string description(const std::vector<OSCValue>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ", ";
        out += values[i].debugDescription();
    }
    return out + "]";
}

}  // namespace vorn::osc

namespace {

void combine(std::size_t& seed, std::size_t value) noexcept {
    seed ^= value + 0x9E3779B97F4A7C15ULL + (seed << 6U) + (seed >> 2U);
}

struct Hash {
    template <class T>
    std::size_t operator()(const T& v) const noexcept {
        return std::hash<T>{}(v);
    }
    std::size_t operator()(const vorn::SharedBytes& v) const noexcept {
        return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
    }
    std::size_t operator()(const std::shared_ptr<const vorn::osc::OSCCustomValue>& v) const noexcept {
        return std::hash<const void*>{}(&v->type());
    }
};

}  // namespace

std::size_t std::hash<vorn::osc::OSCArrayValue>::operator()(const vorn::osc::OSCArrayValue& v) const noexcept {
    std::size_t seed = v.elements.size();
    for (const auto& element : v.elements) combine(seed, std::hash<vorn::osc::OSCValue>{}(element));
    return seed;
}

// The kind goes in too: 1 as i and 1 as h are not equal.
std::size_t std::hash<vorn::osc::OSCValue>::operator()(const vorn::osc::OSCValue& v) const noexcept {
    std::size_t seed = static_cast<std::size_t>(v.kind());
    combine(seed, std::visit(Hash{}, v.storage()));
    return seed;
}
