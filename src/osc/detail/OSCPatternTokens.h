#pragma once

// The one reading of address patterns that everything matches through:
// OSCAddressPattern::matches, the address space's lookups, and the public
// Token and Component forms, which are made from these tokens.

#include "osc/OSCAddressPattern.h"
#include "osc/detail/OSCBytes.h"

#include <bit>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::osc::detail {

// The first `c` in `text` at or after `from`, or npos. A word at a time:
// the texts here are short, and a call into the library per search costs
// more than the search.
inline std::size_t find(std::string_view text, char c, std::size_t from = 0) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t i = from;
    if constexpr (std::endian::native == std::endian::little) {
        const std::uint64_t pattern = bytes::lowBits * static_cast<unsigned char>(c);
        for (; i + 8 <= text.size(); i += 8) {
            const std::uint64_t x = bytes::load64(p + i) ^ pattern;
            // The lowest flagged byte is the first match.
            if (const std::uint64_t hit = (x - bytes::lowBits) & ~x & bytes::highBits) {
                return i + static_cast<std::size_t>(std::countr_zero(hit) / 8);
            }
        }
    }
    for (; i < text.size(); ++i) {
        if (text[i] == c) return i;
    }
    return std::string_view::npos;
}

// The parts of an address, one at a time: one leading and one trailing "/"
// dropped, then split at every "/", empty parts kept. Empty text and "/"
// have no parts.
class AddressParts {
public:
    explicit AddressParts(std::string_view address) noexcept {
        if (address.starts_with('/')) address.remove_prefix(1);
        if (address.ends_with('/')) address.remove_suffix(1);
        rest_ = address;
        more_ = !address.empty();
    }

    // The parts of what follows a "/" inside an address: as many as the
    // whole address has after that slash (none when it was the trailing one).
    struct AfterSlash {};
    AddressParts(std::string_view rest, AfterSlash) noexcept {
        if (rest.empty()) return;
        if (rest.ends_with('/')) rest.remove_suffix(1);
        rest_ = rest;
        more_ = true;
    }

    bool done() const noexcept { return !more_; }
    // The next part; only while !done().
    std::string_view next() noexcept {
        const auto slash = find(rest_, '/');
        if (slash == std::string_view::npos) {
            more_ = false;
            return rest_;
        }
        const auto part = rest_.substr(0, slash);
        rest_.remove_prefix(slash + 1);
        return part;
    }

private:
    std::string_view rest_;
    bool more_ = false;
};

// One token of a pattern part, viewing the part's text.
struct PatternToken {
    using Kind = OSCAddressPattern::Token::Kind;

    Kind kind;
    bool isExclusion;
    // literal: its text; strings: what stands between the braces; singleChar:
    // what stands between the brackets, after a leading "!".
    std::string_view text;
    // singleChar: the bytes in the set, one bit each.
    std::array<std::uint64_t, 4> characters;
    // strings: the texts, empty ones left out, shortest first (then in
    // byte order), so that the first that fits is the one taken. They live
    // with whatever read the token.
    std::span<const std::string_view> alternatives;

    bool has(unsigned char c) const noexcept { return (characters[c / 64] >> (c % 64) & 1U) != 0; }
    // The fewest bytes the token takes: every character is at least one.
    std::size_t minimumLength() const noexcept;
};

// Whether every byte of `text` is a character as a reader sees it: all of
// it ASCII, and no CR LF pair, which reads as one character.
bool bytesAreCharacters(std::string_view text) noexcept;

// What trying a part's tokens takes besides the tokens themselves, worked
// out once when the part is read.
struct PartShape {
    // Parts that need no character boundaries: none (the empty part), one
    // literal, one `*`; and the rest.
    enum class Form : std::uint8_t { empty, literal, anything, tokens };

    Form form = Form::tokens;
    bool anyStar = false;
    // The fewest bytes the tokens take.
    std::size_t need = 0;

    static PartShape of(std::span<const PatternToken> tokens) noexcept;
};

// Whether bytesAreCharacters(localPart) is known already, and its answer.
enum class Plain : std::uint8_t { unknown, yes, no };

// Whether `tokens` (of the shape `shape`) take the whole of `localPart`,
// counting characters as a reader sees them: `?`, a bracket and each
// character of a literal stand for one user-perceived character, however
// many bytes it has. Takes time proportional to tokens × part length (× the
// longest token), however many wildcards there are: a peer chooses its
// patterns.
bool tokensMatch(std::span<const PatternToken> tokens, const PartShape& shape, std::string_view localPart,
                 Plain plain);

// The tokens of one pattern part. Parts of everyday size keep them in place;
// a part with more tokens moves them to the heap rather than failing.
class PartTokens {
public:
    explicit PartTokens(std::string_view part);
    PartTokens(const PartTokens&) = delete;
    PartTokens& operator=(const PartTokens&) = delete;

    std::span<const PatternToken> tokens() const noexcept {
        return heap_.empty() ? std::span<const PatternToken>(inPlace_.data(), count_)
                             : std::span<const PatternToken>(heap_);
    }
    const PartShape& shape() const noexcept { return shape_; }

    // tokensMatch() for this part.
    bool matches(std::string_view localPart) const {
        return tokensMatch(tokens(), shape_, localPart, Plain::unknown);
    }

private:
    void push(const PatternToken& token);

    static constexpr std::size_t inPlaceCapacity = 16;
    // Left uninitialised: only the first count_ are ever read.
    std::array<PatternToken, inPlaceCapacity> inPlace_;
    std::size_t count_ = 0;
    std::vector<PatternToken> heap_;
    std::vector<std::string_view> alternatives_;
    PartShape shape_;
};

// Appends the alternatives of each `strings` token to `store` and points
// the token at them. `store` must not grow again while the tokens are used.
void keepAlternatives(std::span<PatternToken> tokens, std::vector<std::string_view>& store);

// The texts between `{` and `}`: split at commas, empty pieces dropped.
template <class Visit>
void forEachAlternative(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const auto comma = find(text, ',');
        if (const auto piece = text.substr(0, comma); !piece.empty()) visit(piece);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
}

// The text between `[` and `]`, after any leading "!". A `-` between two
// characters makes a range of them and takes both; a `-` at either end of
// what is left stands for itself. Characters left of a range stay and may
// start a later range once the range is taken out ("ab-c-d" gives b-c, then
// a-d), so the characters not yet placed wait on a stack; every character is
// looked at once.
template <class Single, class Range>
void readBracket(std::string_view text, Single single, Range range) {
    std::string kept;  // never holds a dash
    bool dashSeen = false;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '-') {
            kept.push_back(text[i++]);
            continue;
        }
        if (kept.empty() || i + 1 == text.size()) {
            dashSeen = true;
            ++i;
            continue;
        }
        range(kept.back(), text[i + 1]);
        kept.pop_back();
        i += 2;
    }
    for (const char c : kept) single(c);
    if (dashSeen) single('-');
}

}  // namespace vorn::osc::detail
