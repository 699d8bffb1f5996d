#pragma once

#include "dispatch/SharedBytes.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vorn::osc {

// The address of a message: a slash-separated path that may hold wildcards.
// Text that is not ASCII is converted the lossy way, so `rawAddress` is
// always ASCII and `rawData` its bytes. Nothing else is checked here.
//
// An address decoded from a datagram is a view into the datagram's bytes
// rather than a copy: receiving a message allocates nothing for its address.
class OSCAddressPattern {
public:
    OSCAddressPattern() = default;
    OSCAddressPattern(std::string_view text);  // NOLINT: literals convert implicitly
    OSCAddressPattern(const char* text) : OSCAddressPattern(std::string_view(text)) {}  // NOLINT
    OSCAddressPattern(const std::string& text) : OSCAddressPattern(std::string_view(text)) {}  // NOLINT

    // A copy of a view shares the bytes it views; a copy of owned text
    // owns its own copy. Kept inline: decoding moves patterns around.
    OSCAddressPattern(const OSCAddressPattern&) = default;
    OSCAddressPattern(OSCAddressPattern&& other) noexcept
        : owned_(std::move(other.owned_)), shared_(std::move(other.shared_)), view_(other.view_) {
        other.reset();
    }
    OSCAddressPattern& operator=(const OSCAddressPattern&) = default;
    OSCAddressPattern& operator=(OSCAddressPattern&& other) noexcept {
        if (this == &other) return *this;
        owned_ = std::move(other.owned_);
        shared_ = std::move(other.shared_);
        view_ = other.view_;
        other.reset();
        return *this;
    }

    std::string_view rawAddress() const noexcept { return view_.data() ? view_ : std::string_view(owned_); }
    std::span<const std::uint8_t> rawData() const noexcept {
        const auto text = rawAddress();
        return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    }
    std::string_view description() const noexcept { return rawAddress(); }

    friend bool operator==(const OSCAddressPattern& a, const OSCAddressPattern& b) noexcept {
        return a.rawAddress() == b.rawAddress();
    }

private:
    friend class OSCMessage;
    // Replaces the text with `ascii`, which must be ASCII bytes inside
    // `bytes`, reusing this pattern's storage where it can.
    void assignDecoded(const SharedBytes& bytes, std::string_view ascii);

    void reset() noexcept {
        owned_.clear();
        shared_ = SharedBytes();
        view_ = {};
    }

    // The text is `view_`, into `shared_`, when `view_` points anywhere, and
    // `owned_` otherwise. Nothing points into `owned_`, so a move of its
    // small-string buffer needs no fixing up.
    std::string owned_;
    SharedBytes shared_;
    std::string_view view_;
};

}  // namespace vorn::osc
