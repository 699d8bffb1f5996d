#pragma once

#include "osc/OSCSerialization.h"
#include "osc/OSCTimeTag.h"
#include "osc/OSCValue.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vorn::osc {

class OSCArgumentRange;

// One argument of an OSCMessageView: its tag and its bytes in the datagram.
// The typed reads throw std::bad_variant_access for another kind, as
// OSCValue::get does.
class OSCArgumentView {
public:
    char tag() const noexcept { return tag_; }
    OSCValueKind kind() const noexcept { return kind_; }

    std::int32_t int32() const;
    float float32() const;
    std::int64_t int64() const;
    double float64() const;
    // The text of an `s` or `S` argument, in the datagram.
    std::string_view string() const;
    std::span<const std::uint8_t> blob() const;
    bool boolean() const;
    char32_t character() const;
    OSCMIDIValue midi() const;
    OSCTimeTag timeTag() const;
    // The elements of an array.
    OSCArgumentRange elements() const;

    // An owned copy, equal to what OSCMessage::decode gives for it.
    OSCValue value() const;

private:
    friend class OSCArgumentIterator;
    OSCArgumentView(char tag, OSCValueKind kind, const std::uint8_t* data, const char* inner,
                    const OSCSerialization::Table* table) noexcept
        : tag_(tag), kind_(kind), data_(data), inner_(inner), table_(table) {}
    void expect(OSCValueKind kind) const;

    char tag_;
    OSCValueKind kind_;
    const std::uint8_t* data_;  // the argument's first byte
    const char* inner_;         // for an array, the tag after its `[`
    const OSCSerialization::Table* table_;
};

// Walks the arguments of a parsed view in order. Every step re-reads only
// what the parse already checked, so it cannot fail.
class OSCArgumentIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = OSCArgumentView;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = OSCArgumentView;

    OSCArgumentIterator() = default;

    OSCArgumentView operator*() const noexcept;
    OSCArgumentIterator& operator++() noexcept;
    OSCArgumentIterator operator++(int) noexcept {
        auto before = *this;
        ++*this;
        return before;
    }
    // The end of a range is where its tags run out or its array closes.
    bool atEnd() const noexcept { return tag_ == end_ || *tag_ == ']'; }
    friend bool operator==(const OSCArgumentIterator& a, const OSCArgumentIterator& b) noexcept {
        return a.atEnd() ? b.atEnd() : a.tag_ == b.tag_;
    }

private:
    friend class OSCArgumentView;
    friend class OSCMessageView;
    OSCArgumentIterator(const char* tag, const char* end, const std::uint8_t* data,
                        const OSCSerialization::Table* table) noexcept;
    void skipCommas() noexcept {
        while (tag_ != end_ && *tag_ == ',') ++tag_;
    }

    const char* tag_ = nullptr;
    const char* end_ = nullptr;
    const std::uint8_t* data_ = nullptr;
    const OSCSerialization::Table* table_ = nullptr;
};

class OSCArgumentRange {
public:
    OSCArgumentRange(OSCArgumentIterator begin) noexcept : begin_(begin) {}  // NOLINT
    OSCArgumentIterator begin() const noexcept { return begin_; }
    OSCArgumentIterator end() const noexcept { return {}; }
    bool empty() const noexcept { return begin_.atEnd(); }

private:
    OSCArgumentIterator begin_;
};

// One message read in place: the address, the type tags and every argument
// straight from the datagram, with no allocation. Parsing checks the whole
// framing once, by the same rules and with the same error texts as
// OSCMessage::decode; the bytes must outlive the view.
class OSCMessageView {
public:
    // Throws OSCDecodeError where OSCMessage::decode would. Gives nothing for
    // a message with a tag that only a registered type decodes: decode that
    // one with OSCMessage. `context` is the shared registry when null.
    static std::optional<OSCMessageView> parse(std::span<const std::uint8_t> bytes,
                                               const OSCSerialization* context = nullptr);

    std::string_view address() const noexcept { return address_; }
    // The type-tag string as it stands in the datagram, comma and all.
    std::string_view typeTags() const noexcept { return tags_; }
    // The arguments at the top level, an array counting as one.
    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    OSCArgumentRange arguments() const noexcept {
        return OSCArgumentIterator(tags_.data(), tags_.data() + tags_.size(), data_, table_);
    }
    OSCArgumentIterator begin() const noexcept { return arguments().begin(); }
    OSCArgumentIterator end() const noexcept { return arguments().end(); }
    std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

    // Owned copies of the arguments, as OSCMessage::decode gives them.
    std::vector<OSCValue> values() const;

private:
    OSCMessageView() = default;

    std::span<const std::uint8_t> bytes_;
    std::string_view address_;
    std::string_view tags_;
    const std::uint8_t* data_ = nullptr;
    const OSCSerialization::Table* table_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace vorn::osc
