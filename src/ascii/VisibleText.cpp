#include "ascii/VisibleText.h"

#include <cstddef>

namespace vorn::ascii {

namespace {

// Length of the well-formed UTF-8 sequence at the start of `bytes` (the
// shortest form, no surrogates, nothing past U+10FFFF); 0 when there is none.
std::size_t wellFormedLength(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const auto within = [&](std::size_t i, unsigned low, unsigned high) {
        return i < bytes.size() && byte(i) >= low && byte(i) <= high;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    // The lead byte fixes the range of the first continuation byte; the
    // others are 0x80 to 0xBF.
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (!within(1, low, high)) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!within(i, 0x80, 0xBF)) {
            return 0;
        }
    }
    return length;
}

// How many bytes at the start of `bytes` go out as they are: a printable
// character, or 0 when the first byte must be escaped. A backslash counts as
// printable here; its own rule is the caller's.
std::size_t plainLength(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes.front());
    if (lead < 0x20 || lead == 0x7F) {
        return 0;
    }
    const std::size_t length = wellFormedLength(bytes);
    // U+0080 to U+009F: 0xC2 followed by 0x80 to 0x9F.
    if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(bytes[1]) <= 0x9F) {
        return 0;
    }
    return length;
}

void appendEscape(std::string& out, unsigned char byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

}  // namespace

std::string visibleText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t length = plainLength(bytes);
        if (length == 0) {
            appendEscape(out, static_cast<unsigned char>(bytes.front()));
            bytes.remove_prefix(1);
            continue;
        }
        if (bytes.front() == '\\' && bytes.size() > 1 &&
            (bytes[1] == 'x' || bytes[1] == '\\' || plainLength(bytes.substr(1)) == 0)) {
            out += '\\';
        }
        out.append(bytes.substr(0, length));
        bytes.remove_prefix(length);
    }
    return out;
}

}  // namespace vorn::ascii
