#include "osc/OSCAddressPattern.h"

#include "ascii/ASCIIString.h"
#include "osc/detail/OSCPatternTokens.h"
#include "osc/detail/OSCReadPattern.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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
    forgetTokens();
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
// Tokens as values

namespace {

void combine(std::size_t& seed, std::size_t value) noexcept {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

bool OSCAddressPattern::CharacterGroup::matches(char character) const noexcept {
    const auto isASCII = [](char c) { return static_cast<unsigned char>(c) < 128; };
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

// ---------------------------------------------------------------------------
// Splitting, reading and matching, all through detail::PartTokens

std::vector<std::string_view> OSCAddressPattern::split(std::string_view address) {
    detail::AddressParts parts(address);
    std::vector<std::string_view> result;
    while (!parts.done()) result.push_back(parts.next());
    return result;
}

OSCAddressPattern::Component OSCAddressPattern::tokenize(std::string_view part) {
    Component component;
    const detail::PartTokens read(part);
    component.tokens.reserve(read.tokens().size());
    for (const auto& token : read.tokens()) {
        switch (token.kind) {
        case Token::Kind::literal:
            component.tokens.push_back(Token::literal(std::string(token.text)));
            break;
        case Token::Kind::singleChar: {
            std::set<CharacterGroup> groups;
            detail::readBracket(
                token.text, [&](char c) { groups.insert(CharacterGroup::single(c)); },
                [&](char start, char end) { groups.insert(CharacterGroup::asciiRange(start, end)); });
            component.tokens.push_back(Token::singleChar(token.isExclusion, std::move(groups)));
            break;
        }
        case Token::Kind::strings: {
            std::set<std::string> texts;
            detail::forEachAlternative(token.text, [&](std::string_view text) { texts.emplace(text); });
            component.tokens.push_back(Token::strings(std::move(texts)));
            break;
        }
        case Token::Kind::zeroOrMoreWildcard:
            component.tokens.push_back(Token::zeroOrMoreWildcard());
            break;
        case Token::Kind::singleCharWildcard:
            component.tokens.push_back(Token::singleCharWildcard());
            break;
        }
    }
    return component;
}

std::vector<OSCAddressPattern::Component> OSCAddressPattern::components() const {
    std::vector<Component> result;
    for (const auto part : split(rawAddress())) result.push_back(tokenize(part));
    return result;
}

const detail::ReadPattern& OSCAddressPattern::readFirst() const {
    // Threads that get here together each read the text; the first to store
    // its tokens wins and the others drop theirs.
    auto fresh = std::make_unique<const detail::ReadPattern>(rawAddress());
    const detail::ReadPattern* kept = nullptr;
    if (read_.compare_exchange_strong(kept, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
        return *fresh.release();
    }
    return *kept;
}

void OSCAddressPattern::release(const detail::ReadPattern* read) noexcept { delete read; }

bool OSCAddressPattern::matches(std::string_view localAddress) const {
    const auto* read = read_.load(std::memory_order_acquire);
    return (read ? *read : readFirst()).matches(localAddress);
}

}  // namespace vorn::osc
