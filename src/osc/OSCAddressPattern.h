#pragma once

#include "base/SharedBytes.h"

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::osc {

namespace detail {
class ReadPattern;
}

// The address of a message: a slash-separated path that may hold wildcards.
// Text that is not ASCII is converted the lossy way, so `rawAddress` is
// always ASCII and `rawData` its bytes. Nothing else is checked here.
//
// An address decoded from a datagram is a view into the datagram's bytes
// rather than a copy: receiving a message allocates nothing for its address.
//
// For matching, the text splits at "/" into parts and each part into tokens:
// `*` (any run of characters), `?` (any one character), `[...]` (one
// character from a set, `!` first to exclude, `a-z` for a range) and
// `{foo,bar}` (one of the texts). Wildcards never cross a "/". A local address
// may be any UTF-8 text: `?`, a bracket and each character of a literal stand
// for one character as a reader sees it (an "é", whether one code point or an
// "e" and a combining accent, is one), never for part of one.
class OSCAddressPattern {
public:
    // One character of a bracket: `single` holds one character, `asciiRange`
    // the characters `start` to `end` by ASCII code.
    class CharacterGroup {
    public:
        enum class Kind { single, asciiRange };

        static CharacterGroup single(char character) noexcept { return {Kind::single, character, character}; }
        static CharacterGroup asciiRange(char start, char end) noexcept { return {Kind::asciiRange, start, end}; }

        Kind kind() const noexcept { return kind_; }
        // For `single`, start() and end() are both the character.
        char start() const noexcept { return start_; }
        char end() const noexcept { return end_; }

        // A range matches only ASCII, and nothing when it runs backwards.
        bool matches(char character) const noexcept;

        friend auto operator<=>(const CharacterGroup&, const CharacterGroup&) = default;

    private:
        CharacterGroup(Kind kind, char start, char end) noexcept : kind_(kind), start_(start), end_(end) {}

        Kind kind_;
        char start_;
        char end_;
    };

    class Token {
    public:
        enum class Kind { literal, singleChar, strings, zeroOrMoreWildcard, singleCharWildcard };

        static Token literal(std::string text);
        static Token singleChar(bool isExclusion, std::set<CharacterGroup> groups);
        // The set's order (lexicographic) is the order in which the texts are
        // tried, and only the first one that fits is taken: {a,ab}c does not
        // match abc, since a is tried first and then c does not follow.
        static Token strings(std::set<std::string> texts);
        static Token zeroOrMoreWildcard() { return Token(Kind::zeroOrMoreWildcard); }
        static Token singleCharWildcard() { return Token(Kind::singleCharWildcard); }

        Kind kind() const noexcept { return kind_; }
        // The literal's text; empty for the other kinds.
        const std::string& text() const noexcept { return text_; }
        bool isExclusion() const noexcept { return isExclusion_; }
        const std::set<CharacterGroup>& groups() const noexcept { return groups_; }
        const std::set<std::string>& strings() const noexcept { return strings_; }

        std::string description() const;
        std::size_t hash() const noexcept;

        friend bool operator==(const Token&, const Token&) = default;

    private:
        explicit Token(Kind kind) noexcept : kind_(kind) {}

        Kind kind_;
        bool isExclusion_ = false;
        std::string text_;
        std::set<CharacterGroup> groups_;
        std::set<std::string> strings_;
    };

    // The tokens of one part of a pattern, as values to look at and compare.
    // Matching does not go through them: it uses the compact tokens it reads
    // from the text on the first match and keeps.
    struct Component {
        std::vector<Token> tokens;

        std::string description() const;
        std::size_t hash() const noexcept;
        friend bool operator==(const Component&, const Component&) = default;
    };

    // The parts of a pattern or a local address: one leading and one trailing
    // "/" dropped, then split at every "/", empty parts kept (/a//b gives a,
    // empty, b). Empty text and "/" give no parts. The views point into
    // `address`.
    static std::vector<std::string_view> split(std::string_view address);
    // One part into tokens. An unclosed `[` reads as `{` when a `}` follows,
    // and like an unclosed `{` as an ordinary character otherwise.
    static Component tokenize(std::string_view part);

    // This pattern's parts, tokenized.
    std::vector<Component> components() const;

    // True when the pattern has as many parts as `localAddress` and each
    // matches its part. A pattern with no parts matches nothing. Takes time
    // proportional to tokens × part length (× the longest token) per part,
    // however many wildcards there are: a peer chooses its patterns, and a
    // pattern must never stall us.
    //
    // The first call reads the pattern into tokens and keeps them, so later
    // calls only walk the local address; a pattern that is never matched
    // (most decoded ones) never pays for that. Safe to call from several
    // threads at once.
    bool matches(std::string_view localAddress) const;

    OSCAddressPattern() = default;
    OSCAddressPattern(std::string_view text);  // NOLINT: literals convert implicitly
    OSCAddressPattern(const char* text) : OSCAddressPattern(std::string_view(text)) {}  // NOLINT
    OSCAddressPattern(const std::string& text) : OSCAddressPattern(std::string_view(text)) {}  // NOLINT

    // A copy of a view shares the bytes it views; a copy of owned text
    // owns its own copy. A copy reads its tokens afresh when it is first
    // matched; a move takes them along. Kept inline: decoding moves patterns
    // around. Moving from or assigning to a pattern while another thread
    // matches it is a race, as for any object.
    OSCAddressPattern(const OSCAddressPattern& other)
        : owned_(other.owned_), shared_(other.shared_), view_(other.view_) {}
    OSCAddressPattern(OSCAddressPattern&& other) noexcept
        : owned_(std::move(other.owned_)), shared_(std::move(other.shared_)), view_(other.view_),
          read_(other.read_.load(std::memory_order_relaxed)) {
        other.read_.store(nullptr, std::memory_order_relaxed);
        other.reset();
    }
    OSCAddressPattern& operator=(const OSCAddressPattern& other) {
        if (this == &other) return *this;
        owned_ = other.owned_;
        shared_ = other.shared_;
        view_ = other.view_;
        forgetTokens();
        return *this;
    }
    OSCAddressPattern& operator=(OSCAddressPattern&& other) noexcept {
        if (this == &other) return *this;
        owned_ = std::move(other.owned_);
        shared_ = std::move(other.shared_);
        view_ = other.view_;
        forgetTokens();
        read_.store(other.read_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        other.read_.store(nullptr, std::memory_order_relaxed);
        other.reset();
        return *this;
    }
    ~OSCAddressPattern() { forgetTokens(); }

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

    // Reads the tokens, for the first match; another thread may have just
    // done so, and then its tokens are the ones kept.
    [[gnu::cold]] const detail::ReadPattern& readFirst() const;
    void forgetTokens() noexcept {
        if (const auto* read = read_.load(std::memory_order_relaxed)) {
            release(read);
            read_.store(nullptr, std::memory_order_relaxed);
        }
    }
    static void release(const detail::ReadPattern* read) noexcept;

    // The text is `view_`, into `shared_`, when `view_` points anywhere, and
    // `owned_` otherwise. Nothing points into `owned_`, so a move of its
    // small-string buffer needs no fixing up.
    std::string owned_;
    SharedBytes shared_;
    std::string_view view_;
    // The text read into tokens, owned, or null until the first match. It
    // keeps a copy of the text, so moves of `owned_` leave it valid.
    mutable std::atomic<const detail::ReadPattern*> read_{nullptr};
};

}  // namespace vorn::osc

template <>
struct std::hash<vorn::osc::OSCAddressPattern::Token> {
    std::size_t operator()(const vorn::osc::OSCAddressPattern::Token& token) const noexcept { return token.hash(); }
};

template <>
struct std::hash<vorn::osc::OSCAddressPattern::Component> {
    std::size_t operator()(const vorn::osc::OSCAddressPattern::Component& component) const noexcept {
        return component.hash();
    }
};
