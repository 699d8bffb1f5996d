#include "osc/OSCAddressPattern.h"

#include "ascii/ASCIIString.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::osc {

OSCAddressPattern::OSCAddressPattern(std::string_view text) {
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
    // ASCII text is kept as it is; anything else goes through the lossy
    // conversion.
    if (ascii) {
        owned_.assign(text);
    } else {
        owned_ = ascii::ASCIIString::lossy(text).stringValue();
    }
}

void OSCAddressPattern::assignDecoded(const SharedBytes& bytes, std::string_view ascii) {
    // Text that fits the string's storage as it is (its small buffer, or what
    // an earlier decode into this pattern left) is copied: that costs less
    // than sharing the datagram, an atomic count on each copy and release.
    if (ascii.size() <= owned_.capacity()) {
        // Cheaper than assign(), which allows for `ascii` lying inside `owned_`.
        owned_.clear();
        owned_.append(ascii);
        if (view_.data()) {
            shared_ = SharedBytes();
            view_ = {};
        }
    } else {
        owned_.clear();
        shared_ = bytes;
        view_ = ascii;
    }
}

// ---------------------------------------------------------------------------
// Matching

namespace {

constexpr auto npos = OSCAddressPattern::Token::npos;

bool isASCII(char c) noexcept { return static_cast<unsigned char>(c) < 128; }

void combine(std::size_t& seed, std::size_t value) noexcept {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// The text between `[` and `]`. A `-` between two characters makes a range
// of them and takes both; a `-` at either end of what is left stands for
// itself. Characters left of a range stay and may start a later range once
// the range is taken out ("ab-c-d" gives b-c, then a-d), so the characters
// not yet placed are kept on a stack; every character is looked at once.
OSCAddressPattern::Token bracketToken(std::string_view text) {
    using CharacterGroup = OSCAddressPattern::CharacterGroup;
    bool isExclusion = false;
    if (!text.empty() && text.front() == '!') {
        isExclusion = true;
        text.remove_prefix(1);
    }
    std::set<CharacterGroup> groups;
    std::string kept;  // never holds a dash
    bool dashSeen = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto dash = text.find('-', i);
        if (dash == std::string_view::npos) {
            kept.append(text.substr(i));
            break;
        }
        kept.append(text.substr(i, dash - i));
        if (kept.empty() || dash + 1 == text.size()) {
            dashSeen = true;
            i = dash + 1;
            continue;
        }
        groups.insert(CharacterGroup::asciiRange(kept.back(), text[dash + 1]));
        kept.pop_back();
        i = dash + 2;
    }
    for (const char c : kept) groups.insert(CharacterGroup::single(c));
    if (dashSeen) groups.insert(CharacterGroup::single('-'));
    return OSCAddressPattern::Token::singleChar(isExclusion, std::move(groups));
}

// The texts of what stands between `{` and `}`: split at commas, empty
// pieces dropped.
template <class Visit>
void forEachAlternative(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const auto comma = text.find(',');
        if (const auto piece = text.substr(0, comma); !piece.empty()) visit(piece);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
}

OSCAddressPattern::Token stringsToken(std::string_view text) {
    std::set<std::string> texts;
    forEachAlternative(text, [&](std::string_view piece) { texts.emplace(piece); });
    return OSCAddressPattern::Token::strings(std::move(texts));
}

// The first `c` at or after `from` in `text`. Callers ask with `from` never
// going back, so the last answer usually stands and a part full of unclosed
// brackets is still read in linear time.
class NextOf {
public:
    NextOf(std::string_view text, char c) : text_(text), c_(c) {}

    std::size_t operator()(std::size_t from) {
        if (!known_ || (found_ != std::string_view::npos && found_ < from)) {
            found_ = text_.find(c_, from);
            known_ = true;
        }
        return found_;
    }

private:
    std::string_view text_;
    char c_;
    bool known_ = false;
    std::size_t found_ = std::string_view::npos;
};

}  // namespace

bool OSCAddressPattern::CharacterGroup::matches(char character) const noexcept {
    if (kind_ == Kind::single) return character == start_;
    return isASCII(character) && isASCII(start_) && isASCII(end_) && start_ <= character && character <= end_;
}

OSCAddressPattern::Token OSCAddressPattern::Token::literal(std::string text) {
    Token token(Kind::literal);
    token.text_ = std::move(text);
    return token;
}

OSCAddressPattern::Token OSCAddressPattern::Token::singleChar(bool isExclusion, std::set<CharacterGroup> groups) {
    Token token(Kind::singleChar);
    token.isExclusion_ = isExclusion;
    token.groups_ = std::move(groups);
    return token;
}

OSCAddressPattern::Token OSCAddressPattern::Token::strings(std::set<std::string> texts) {
    Token token(Kind::strings);
    token.strings_ = std::move(texts);
    return token;
}

std::size_t OSCAddressPattern::Token::consumed(std::string_view remainder) const noexcept {
    switch (kind_) {
    case Kind::literal:
        return remainder.starts_with(text_) ? text_.size() : npos;
    case Kind::singleCharWildcard:
        return remainder.empty() ? npos : 1;
    case Kind::singleChar: {
        if (remainder.empty()) return npos;
        const char c = remainder.front();
        const bool inGroup = std::any_of(groups_.begin(), groups_.end(), [c](const auto& g) { return g.matches(c); });
        return inGroup != isExclusion_ ? 1 : npos;
    }
    case Kind::strings:
        // {} and {,} stand for the empty text.
        if (strings_.empty()) return 0;
        for (const auto& text : strings_) {
            if (remainder.starts_with(text)) return text.size();
        }
        return npos;
    case Kind::zeroOrMoreWildcard:
        break;
    }
    return npos;
}

std::size_t OSCAddressPattern::Token::minimumLength() const noexcept {
    switch (kind_) {
    case Kind::literal:
        return text_.size();
    case Kind::singleChar:
    case Kind::singleCharWildcard:
        return 1;
    case Kind::strings: {
        if (strings_.empty()) return 0;
        std::size_t shortest = npos;
        for (const auto& text : strings_) shortest = std::min(shortest, text.size());
        return shortest;
    }
    case Kind::zeroOrMoreWildcard:
        break;
    }
    return 0;
}

std::string OSCAddressPattern::Token::description() const {
    switch (kind_) {
    case Kind::literal:
        return text_;
    case Kind::singleCharWildcard:
        return "?";
    case Kind::zeroOrMoreWildcard:
        return "*";
    case Kind::singleChar: {
        std::string text = isExclusion_ ? "[!" : "[";
        for (const auto& group : groups_) {
            text.push_back(group.start());
            if (group.kind() == CharacterGroup::Kind::asciiRange) {
                text.push_back('-');
                text.push_back(group.end());
            }
        }
        return text + "]";
    }
    case Kind::strings: {
        std::string text = "{";
        for (const auto& alternative : strings_) {
            if (text.size() > 1) text.push_back(',');
            text += alternative;
        }
        return text + "}";
    }
    }
    return {};
}

std::size_t OSCAddressPattern::Token::hash() const noexcept {
    std::size_t seed = static_cast<std::size_t>(kind_);
    combine(seed, std::hash<std::string>{}(text_));
    combine(seed, isExclusion_ ? 1 : 0);
    for (const auto& group : groups_) {
        combine(seed, static_cast<std::size_t>(group.kind()) << 16 | static_cast<unsigned char>(group.start()) << 8 |
                          static_cast<unsigned char>(group.end()));
    }
    for (const auto& text : strings_) combine(seed, std::hash<std::string>{}(text));
    return seed;
}

std::string OSCAddressPattern::Component::description() const {
    std::string text;
    for (const auto& token : tokens) text += token.description();
    return text;
}

std::size_t OSCAddressPattern::Component::hash() const noexcept {
    std::size_t seed = tokens.size();
    for (const auto& token : tokens) combine(seed, token.hash());
    return seed;
}

namespace {

// Every token but `*` takes a fixed number of characters wherever it is
// tried, so whether the tokens can take the whole part comes down to which
// positions each token can be reached at. Walking the tokens once with the
// set of reachable positions gives the same answers as trying every length
// of every `*` in turn, without the exponential cost of doing so. Once a `*`
// has been passed the set is "everything from `lo` on", kept as a flag so
// that runs such as *?*? cost nothing per position.
template <class Tokens>
bool matchTokens(const Tokens& tokens, std::string_view localPart) {
    using Kind = OSCAddressPattern::Token::Kind;
    if (tokens.empty()) return localPart.empty();
    if (tokens.size() == 1) {
        if (tokens.front().kind() == Kind::literal) return localPart == tokens.front().text();
        if (tokens.front().kind() == Kind::zeroOrMoreWildcard) return true;
    }
    const std::size_t n = localPart.size();
    // The fewest characters the tokens not yet taken need: positions from
    // which fewer are left cannot lead to a match.
    std::size_t need = 0;
    for (const auto& token : tokens) need += token.minimumLength();
    if (need > n) return false;

    // Two rows of n + 1 flags: `reach` holds the reachable positions within
    // lo..hi while !tail and is all clear while tail; `next` is all clear
    // between tokens. Parts of everyday length stay off the heap.
    constexpr std::size_t onStack = 256;
    std::array<unsigned char, 2 * onStack> small;  // only the rows in use are cleared
    std::vector<unsigned char> large;
    unsigned char* reach = small.data();
    if (n + 1 > onStack) {
        large.assign(2 * (n + 1), 0);
        reach = large.data();
    } else {
        std::fill(reach, reach + 2 * (n + 1), 0);
    }
    unsigned char* next = reach + n + 1;
    const auto clear = [&](std::size_t from, std::size_t to) { std::fill(reach + from, reach + to + 1, 0); };

    reach[0] = 1;
    std::size_t lo = 0;
    std::size_t hi = 0;
    bool tail = false;
    for (const auto& token : tokens) {
        const std::size_t last = std::min(hi, n - need);
        need -= token.minimumLength();
        if (token.kind() == Kind::zeroOrMoreWildcard) {
            if (!tail) {
                clear(lo, hi);
                tail = true;
                hi = n;
            }
            continue;
        }
        if (tail && token.kind() == Kind::singleCharWildcard) {
            if (++lo > n) return false;
            continue;
        }
        std::size_t newLo = npos;
        std::size_t newHi = 0;
        for (std::size_t p = lo; p <= last; ++p) {
            if (!tail && !reach[p]) continue;
            const auto taken = token.consumed(localPart.substr(p));
            if (taken == npos) continue;
            const std::size_t q = p + taken;
            next[q] = 1;
            newLo = std::min(newLo, q);
            newHi = std::max(newHi, q);
        }
        if (!tail) clear(lo, hi);
        if (newLo == npos) return false;
        std::swap(reach, next);
        lo = newLo;
        hi = newHi;
        tail = false;
    }
    return tail || reach[n] != 0;
}

}  // namespace

bool OSCAddressPattern::Component::matches(std::string_view localPart) const {
    return matchTokens(tokens, localPart);
}

std::vector<std::string_view> OSCAddressPattern::split(std::string_view address) {
    if (address.starts_with('/')) address.remove_prefix(1);
    if (address.ends_with('/')) address.remove_suffix(1);
    std::vector<std::string_view> parts;
    if (address.empty()) return parts;
    for (;;) {
        const auto slash = address.find('/');
        parts.push_back(address.substr(0, slash));
        if (slash == std::string_view::npos) break;
        address.remove_prefix(slash + 1);
    }
    return parts;
}

namespace {

// Reads one part of a pattern and hands `sink` its tokens in order. A literal
// is always a run of the part's own characters, so it comes as a view.
template <class Sink>
void scanPart(std::string_view part, Sink& sink) {
    NextOf closingBracket(part, ']');
    NextOf closingBrace(part, '}');
    std::size_t literalStart = 0;
    const auto endLiteral = [&](std::size_t end) {
        if (end > literalStart) sink.literal(part.substr(literalStart, end - literalStart));
    };
    std::size_t i = 0;
    while (i < part.size()) {
        const char c = part[i];
        if (c == '*' || c == '?') {
            endLiteral(i);
            if (c == '*') {
                sink.star();
            } else {
                sink.question();
            }
            literalStart = ++i;
            continue;
        }
        if (c == '[') {
            const auto close = closingBracket(i + 1);
            if (close != std::string_view::npos) {
                endLiteral(i);
                sink.bracket(part.substr(i + 1, close - i - 1));
                literalStart = i = close + 1;
                continue;
            }
        }
        if (c == '{' || c == '[') {
            const auto close = closingBrace(i + 1);
            if (close != std::string_view::npos) {
                endLiteral(i);
                sink.braces(part.substr(i + 1, close - i - 1));
                literalStart = i = close + 1;
                continue;
            }
        }
        ++i;
    }
    endLiteral(part.size());
}

// Builds the tokens of a Component.
struct ComponentSink {
    std::vector<OSCAddressPattern::Token>& tokens;

    void literal(std::string_view text) { tokens.push_back(OSCAddressPattern::Token::literal(std::string(text))); }
    void star() {
        if (tokens.empty() || tokens.back().kind() != OSCAddressPattern::Token::Kind::zeroOrMoreWildcard) {
            tokens.push_back(OSCAddressPattern::Token::zeroOrMoreWildcard());
        }
    }
    void question() { tokens.push_back(OSCAddressPattern::Token::singleCharWildcard()); }
    void bracket(std::string_view text) { tokens.push_back(bracketToken(text)); }
    void braces(std::string_view text) { tokens.push_back(stringsToken(text)); }
};

// A token that views the pattern's text instead of owning a copy, with the
// characters of a bracket as a bit set. Matching a received message against
// a pattern then allocates nothing; parts with many tokens or long brackets
// are left to Component.
class TokenView {
public:
    using Kind = OSCAddressPattern::Token::Kind;

    static TokenView of(Kind kind, std::string_view text = {}) {
        TokenView token{};
        token.kind_ = kind;
        token.text_ = text;
        return token;
    }

    // The same characters as bracketToken() gives, or false when the text is
    // too long for the fixed stack.
    bool setBracket(std::string_view text) {
        kind_ = Kind::singleChar;
        if (!text.empty() && text.front() == '!') {
            isExclusion_ = true;
            text.remove_prefix(1);
        }
        constexpr std::size_t stackSize = 64;
        if (text.size() > stackSize) return false;
        std::array<char, stackSize> kept{};
        std::size_t keptCount = 0;
        bool dashSeen = false;
        std::size_t i = 0;
        while (i < text.size()) {
            if (text[i] != '-') {
                kept[keptCount++] = text[i++];
                continue;
            }
            if (keptCount == 0 || i + 1 == text.size()) {
                dashSeen = true;
                ++i;
                continue;
            }
            addRange(kept[--keptCount], text[i + 1]);
            i += 2;
        }
        for (std::size_t k = 0; k < keptCount; ++k) add(kept[k]);
        if (dashSeen) add('-');
        return true;
    }

    Kind kind() const noexcept { return kind_; }
    std::string_view text() const noexcept { return text_; }

    std::size_t consumed(std::string_view remainder) const noexcept {
        switch (kind_) {
        case Kind::literal:
            return remainder.starts_with(text_) ? text_.size() : npos;
        case Kind::singleCharWildcard:
            return remainder.empty() ? npos : 1;
        case Kind::singleChar:
            return !remainder.empty() && has(remainder.front()) != isExclusion_ ? 1 : npos;
        case Kind::strings: {
            // Of the texts that fit, the one first in sorted order: since
            // they all start the remainder, that is the shortest.
            std::size_t taken = npos;
            bool any = false;
            forEachText([&](std::string_view text) {
                any = true;
                if (text.size() < taken && remainder.starts_with(text)) taken = text.size();
            });
            return any ? taken : 0;
        }
        case Kind::zeroOrMoreWildcard:
            break;
        }
        return npos;
    }

    std::size_t minimumLength() const noexcept {
        switch (kind_) {
        case Kind::literal:
            return text_.size();
        case Kind::singleChar:
        case Kind::singleCharWildcard:
            return 1;
        case Kind::strings: {
            std::size_t shortest = npos;
            forEachText([&](std::string_view text) { shortest = std::min(shortest, text.size()); });
            return shortest == npos ? 0 : shortest;
        }
        case Kind::zeroOrMoreWildcard:
            break;
        }
        return 0;
    }

private:
    template <class Visit>
    void forEachText(Visit visit) const {
        forEachAlternative(text_, visit);
    }

    void add(char c) noexcept {
        const auto bit = static_cast<unsigned char>(c);
        characters_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
    // As CharacterGroup::matches: ASCII ends, in order, or nothing.
    void addRange(char start, char end) noexcept {
        if (!isASCII(start) || !isASCII(end) || start > end) return;
        for (int c = start; c <= end; ++c) add(static_cast<char>(c));
    }
    bool has(char c) const noexcept {
        const auto bit = static_cast<unsigned char>(c);
        return (characters_[bit / 64] >> (bit % 64) & 1) != 0;
    }

    // No initialisers: a sink's array of them is left as it is until a
    // token is put in place, always a value-initialised one.
    Kind kind_;
    bool isExclusion_;
    std::string_view text_;
    std::array<std::uint64_t, 4> characters_;
};

// Fills a fixed array of TokenViews; `fits` turns false when the part needs
// more room than that.
struct TokenViewSink {
    static constexpr std::size_t capacity = 16;
    std::array<TokenView, capacity> tokens;
    std::size_t count = 0;
    bool fits = true;

    TokenView* push(TokenView token) {
        if (count == capacity) {
            fits = false;
            return nullptr;
        }
        tokens[count] = token;
        return &tokens[count++];
    }
    void literal(std::string_view text) { push(TokenView::of(TokenView::Kind::literal, text)); }
    void star() {
        if (count == 0 || tokens[count - 1].kind() != TokenView::Kind::zeroOrMoreWildcard) {
            push(TokenView::of(TokenView::Kind::zeroOrMoreWildcard));
        }
    }
    void question() { push(TokenView::of(TokenView::Kind::singleCharWildcard)); }
    void bracket(std::string_view text) {
        if (auto* token = push(TokenView::of(TokenView::Kind::singleChar)); token != nullptr && !token->setBracket(text)) {
            fits = false;
        }
    }
    void braces(std::string_view text) { push(TokenView::of(TokenView::Kind::strings, text)); }
};

// Whether `part` holds anything but literal characters. A plain loop: the
// library's find_first_of looks each character up in the set with a call.
bool hasSyntax(std::string_view part) noexcept {
    return std::any_of(part.begin(), part.end(), [](char c) { return c == '*' || c == '?' || c == '[' || c == '{'; });
}

// Whether one part of a pattern matches one part of an address.
bool partMatches(std::string_view patternPart, std::string_view localPart) {
    TokenViewSink views;
    scanPart(patternPart, views);
    if (views.fits) return matchTokens(std::span(views.tokens.data(), views.count), localPart);
    return OSCAddressPattern::tokenize(patternPart).matches(localPart);
}

}  // namespace

OSCAddressPattern::Component OSCAddressPattern::tokenize(std::string_view part) {
    Component component;
    ComponentSink sink{component.tokens};
    scanPart(part, sink);
    return component;
}

std::vector<OSCAddressPattern::Component> OSCAddressPattern::components() const {
    std::vector<Component> result;
    for (const auto part : split(rawAddress())) result.push_back(tokenize(part));
    return result;
}

namespace {

// The parts of an address one at a time, as split() gives them, without
// building the list.
class Parts {
public:
    explicit Parts(std::string_view address) {
        if (address.starts_with('/')) address.remove_prefix(1);
        if (address.ends_with('/')) address.remove_suffix(1);
        rest_ = address;
        count_ = address.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(address.begin(), address.end(), '/'));
    }

    std::size_t count() const noexcept { return count_; }

    std::string_view next() noexcept {
        const auto slash = rest_.find('/');
        const auto part = rest_.substr(0, slash);
        rest_.remove_prefix(slash == std::string_view::npos ? rest_.size() : slash + 1);
        return part;
    }

private:
    std::string_view rest_;
    std::size_t count_ = 0;
};

}  // namespace

bool OSCAddressPattern::matches(std::string_view localAddress) const {
    Parts pattern(rawAddress());
    Parts local(localAddress);
    if (pattern.count() == 0 || pattern.count() != local.count()) return false;
    for (std::size_t i = 0; i < pattern.count(); ++i) {
        const auto patternPart = pattern.next();
        const auto localPart = local.next();
        // Without wildcards a part is one literal (or nothing), which only
        // the same text matches; most parts of most patterns are like that.
        if (!hasSyntax(patternPart)) {
            if (patternPart != localPart) return false;
        } else if (std::all_of(patternPart.begin(), patternPart.end(), [](char c) { return c == '*'; })) {
            continue;  // a lone `*` takes any part
        } else if (!partMatches(patternPart, localPart)) {
            return false;
        }
    }
    return true;
}

}  // namespace vorn::osc
