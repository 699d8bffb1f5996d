#include "osc/detail/OSCPatternTokens.h"

#include "ascii/Graphemes.h"
#include "osc/detail/OSCBytes.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::osc::detail {

namespace {

constexpr auto npos = std::string_view::npos;
using Kind = PatternToken::Kind;

bool isASCII(char c) noexcept { return static_cast<unsigned char>(c) < 128; }

// The first `c` at or after `from` in `text`. Callers ask with `from` never
// going back, so the last answer usually stands and a part full of unclosed
// brackets is still read in linear time.
class NextOf {
public:
    NextOf(std::string_view text, char c) : text_(text), c_(c) {}

    std::size_t operator()(std::size_t from) {
        if (!known_ || (found_ != npos && found_ < from)) {
            found_ = find(text_, c_, from);
            known_ = true;
        }
        return found_;
    }

private:
    std::string_view text_;
    char c_;
    bool known_ = false;
    std::size_t found_ = npos;
};

PatternToken makeToken(Kind kind, std::string_view text = {}) {
    PatternToken token;
    token.kind = kind;
    token.isExclusion = false;
    token.text = text;
    token.characters = {};
    return token;
}

PatternToken bracketToken(std::string_view text) {
    PatternToken token = makeToken(Kind::singleChar);
    if (!text.empty() && text.front() == '!') {
        token.isExclusion = true;
        text.remove_prefix(1);
    }
    token.text = text;
    const auto add = [&token](char c) {
        const auto bit = static_cast<unsigned char>(c);
        token.characters[bit / 64] |= std::uint64_t{1} << (bit % 64);
    };
    // A range holds ASCII only, and nothing when it runs backwards.
    const auto addRange = [&add](char start, char end) {
        if (!isASCII(start) || !isASCII(end) || start > end) return;
        for (int c = start; c <= end; ++c) add(static_cast<char>(c));
    };
    readBracket(text, add, addRange);
    return token;
}

}  // namespace

// ---------------------------------------------------------------------------
// Scanning

std::size_t PatternToken::minimumLength() const noexcept {
    switch (kind) {
    case Kind::literal:
        return text.size();
    case Kind::singleChar:
    case Kind::singleCharWildcard:
        return 1;
    case Kind::strings:
        return alternatives.empty() ? 0 : alternatives.front().size();
    case Kind::zeroOrMoreWildcard:
        break;
    }
    return 0;
}

void PartTokens::push(const PatternToken& token) {
    if (heap_.empty() && count_ < inPlaceCapacity) {
        inPlace_[count_++] = token;
        return;
    }
    if (heap_.empty()) heap_.assign(inPlace_.begin(), inPlace_.begin() + static_cast<std::ptrdiff_t>(count_));
    heap_.push_back(token);
    ++count_;
}

// Reads the part left to right. A literal is a run of the part's own
// characters; an unclosed `[` reads as `{` when a `}` follows, and like an
// unclosed `{` as an ordinary character otherwise.
PartTokens::PartTokens(std::string_view part) {
    NextOf closingBracket(part, ']');
    NextOf closingBrace(part, '}');
    std::size_t literalStart = 0;
    const auto endLiteral = [&](std::size_t end) {
        if (end > literalStart) push(makeToken(Kind::literal, part.substr(literalStart, end - literalStart)));
    };
    std::size_t i = 0;
    while (i < part.size()) {
        const char c = part[i];
        if (c == '*' || c == '?') {
            endLiteral(i);
            if (c == '?') {
                push(makeToken(Kind::singleCharWildcard));
            } else if (count_ == 0 || tokens().back().kind != Kind::zeroOrMoreWildcard) {
                push(makeToken(Kind::zeroOrMoreWildcard));  // a run of `*` is one
            }
            literalStart = ++i;
            continue;
        }
        if (c == '[') {
            if (const auto close = closingBracket(i + 1); close != npos) {
                endLiteral(i);
                push(bracketToken(part.substr(i + 1, close - i - 1)));
                literalStart = i = close + 1;
                continue;
            }
        }
        if (c == '{' || c == '[') {
            if (const auto close = closingBrace(i + 1); close != npos) {
                endLiteral(i);
                push(makeToken(Kind::strings, part.substr(i + 1, close - i - 1)));
                literalStart = i = close + 1;
                continue;
            }
        }
        ++i;
    }
    endLiteral(part.size());
    keepAlternatives(heap_.empty() ? std::span<PatternToken>(inPlace_.data(), count_) : std::span<PatternToken>(heap_),
                     alternatives_);
    shape_ = PartShape::of(tokens());
}

void keepAlternatives(std::span<PatternToken> tokens, std::vector<std::string_view>& store) {
    // Stored first and pointed at after, since the store may move as it grows.
    std::vector<std::size_t> firsts;
    for (const auto& token : tokens) {
        if (token.kind != Kind::strings) continue;
        firsts.push_back(store.size());
        forEachAlternative(token.text, [&](std::string_view text) { store.push_back(text); });
        std::sort(store.begin() + static_cast<std::ptrdiff_t>(firsts.back()), store.end(),
                  [](std::string_view a, std::string_view b) {
                      return a.size() != b.size() ? a.size() < b.size() : a < b;
                  });
    }
    std::size_t next = 0;
    for (auto& token : tokens) {
        if (token.kind != Kind::strings) continue;
        const std::size_t first = firsts[next++];
        const std::size_t end = next < firsts.size() ? firsts[next] : store.size();
        token.alternatives = std::span<const std::string_view>(store.data() + first, end - first);
    }
}

// ---------------------------------------------------------------------------
// Matching

// Whether every byte is ASCII and no CR LF pair joins two of them. Every
// match with a wildcard asks, so a word is looked at in one step; only text
// with a CR in it needs the pairs looked at.
bool bytesAreCharacters(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
    std::uint64_t any = 0;
    bool cr = false;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t v = bytes::load64(p + i);
        const std::uint64_t x = v ^ (bytes::lowBits * '\r');
        any |= v;
        cr |= ((x - bytes::lowBits) & ~x & bytes::highBits) != 0;
    }
    for (; i < n; ++i) {
        any |= p[i];
        cr |= p[i] == '\r';
    }
    if ((any & bytes::highBits) != 0) return false;
    if (!cr) return true;
    for (i = 1; i < n; ++i) {
        if (p[i] == '\n' && p[i - 1] == '\r') return false;
    }
    return true;
}

namespace {

// Where the user-perceived characters of a local part begin and end, as byte
// offsets. Text of ASCII alone has one at every byte but inside CR LF, which
// reads as one character; that common case needs no lookup at all.
struct EveryByte {
    static bool at(std::size_t) noexcept { return true; }
    static std::size_t next(std::size_t p) noexcept { return p + 1; }
};

class Mapped {
public:
    explicit Mapped(std::string_view text) : flags_(text.size() + 1, 0) {
        flags_[0] = 1;
        if (std::all_of(text.begin(), text.end(), isASCII)) {
            for (std::size_t p = 1; p <= text.size(); ++p) {
                flags_[p] = !(text[p - 1] == '\r' && p < text.size() && text[p] == '\n');
            }
            return;
        }
        std::size_t end = 0;
        ascii::forEachGrapheme(text, [&](std::string_view grapheme) {
            end += grapheme.size();
            flags_[end] = 1;
        });
        flags_[text.size()] = 1;
    }

    bool at(std::size_t p) const noexcept { return flags_[p] != 0; }
    std::size_t next(std::size_t p) const noexcept {
        do {
            ++p;
        } while (flags_[p] == 0);
        return p;
    }

private:
    std::vector<unsigned char> flags_;
};

// Whether `text` stands at `at`. Pattern texts are short: a loop beats a
// call into the library.
bool sameBytes(const char* at, std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (at[i] != text[i]) return false;
    }
    return true;
}

// Where the token, tried at character boundary `p`, ends, or npos when it
// does not match there. Only a `*` has more than one answer; it never comes
// here. Of the alternatives of `{...}` the first in sorted order that fits is
// taken; since they all start the remainder, that is the shortest, which is
// why they are kept shortest first.
template <class Boundaries>
std::size_t endOf(const PatternToken& token, std::string_view s, std::size_t p, const Boundaries& b) {
    switch (token.kind) {
    case Kind::literal: {
        const std::size_t q = p + token.text.size();
        return q <= s.size() && sameBytes(s.data() + p, token.text) && b.at(q) ? q : npos;
    }
    case Kind::singleCharWildcard:
        return p < s.size() ? b.next(p) : npos;
    case Kind::singleChar: {
        if (p >= s.size()) return npos;
        const std::size_t q = b.next(p);
        // A character of several bytes is in no set.
        const bool in = q == p + 1 && token.has(static_cast<unsigned char>(s[p]));
        return in != token.isExclusion ? q : npos;
    }
    case Kind::strings: {
        // {} and {,} stand for the empty text.
        if (token.alternatives.empty()) return p;
        const std::size_t left = s.size() - p;
        for (const auto text : token.alternatives) {
            if (text.size() > left) break;  // and so are all that follow
            if (sameBytes(s.data() + p, text) && b.at(p + text.size())) return p + text.size();
        }
        return npos;
    }
    case Kind::zeroOrMoreWildcard:
        break;
    }
    return npos;
}

// Every token but `*` takes one length wherever it is tried, so whether the
// tokens can take the whole part comes down to which positions each token
// can be reached at. Walking the tokens once with the set of reachable
// positions gives the same answers as trying every length of every `*` in
// turn, without the exponential cost of doing so. Once a `*` has been passed
// the set is "every boundary from `lo` on", kept as a flag so that runs such
// as *?*? cost nothing per position.
template <class Boundaries>
[[gnu::noinline]] bool matchWithStars(std::span<const PatternToken> tokens, const PartShape& shape,
                                      std::string_view s, const Boundaries& b) {
    const std::size_t n = s.size();
    // The fewest bytes the tokens not yet taken need: positions from which
    // fewer are left cannot lead to a match.
    std::size_t need = shape.need;
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
        if (token.kind == Kind::zeroOrMoreWildcard) {
            if (!tail) {
                clear(lo, hi);
                tail = true;
                hi = n;
            }
            continue;
        }
        if (tail && token.kind == Kind::singleCharWildcard) {
            if (lo >= n) return false;
            lo = b.next(lo);
            continue;
        }
        std::size_t newLo = npos;
        std::size_t newHi = 0;
        for (std::size_t p = lo; p <= last; ++p) {
            if (tail ? !b.at(p) : !reach[p]) continue;
            const auto q = endOf(token, s, p, b);
            if (q == npos) continue;
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

template <class Boundaries>
bool matchTokens(std::span<const PatternToken> tokens, const PartShape& shape, std::string_view s,
                 const Boundaries& b) {
    if (shape.anyStar) return matchWithStars(tokens, shape, s, b);
    // Without a `*` only one position is ever reachable.
    std::size_t p = 0;
    for (const auto& token : tokens) {
        if ((p = endOf(token, s, p, b)) == npos) return false;
    }
    return p == s.size();
}

}  // namespace

PartShape PartShape::of(std::span<const PatternToken> tokens) noexcept {
    PartShape shape;
    for (const auto& token : tokens) {
        shape.need += token.minimumLength();
        shape.anyStar = shape.anyStar || token.kind == Kind::zeroOrMoreWildcard;
    }
    if (tokens.empty()) {
        shape.form = PartShape::Form::empty;
    } else if (tokens.size() == 1 && tokens.front().kind == Kind::literal) {
        shape.form = PartShape::Form::literal;
    } else if (tokens.size() == 1 && tokens.front().kind == Kind::zeroOrMoreWildcard) {
        shape.form = PartShape::Form::anything;
    }
    return shape;
}

bool tokensMatch(std::span<const PatternToken> tokens, const PartShape& shape, std::string_view localPart,
                 Plain plain) {
    switch (shape.form) {
    // Most parts of most patterns are plain text, and a lone `*` takes any
    // part: neither needs to know where characters begin.
    case PartShape::Form::empty:
        return localPart.empty();
    case PartShape::Form::literal:
        return localPart == tokens.front().text;
    case PartShape::Form::anything:
        return true;
    case PartShape::Form::tokens:
        break;
    }
    // Every character takes at least a byte.
    if (localPart.size() < shape.need) return false;
    if (plain == Plain::yes || (plain == Plain::unknown && bytesAreCharacters(localPart))) {
        return matchTokens(tokens, shape, localPart, EveryByte{});
    }
    return matchTokens(tokens, shape, localPart, Mapped(localPart));
}

}  // namespace vorn::osc::detail
