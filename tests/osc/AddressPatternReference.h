#pragma once

// The address-pattern rules done the plain way, to check the real ones
// against: tokenizing by cutting strings apart, and matching by trying every
// length of every `*` in turn, with stateful tokens that reset, match,
// advance and run out. Exponential on patterns with many `*`, so only for
// small inputs. Shared by the property test and the fuzz target.

#include "osc/OSCAddressPattern.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::osc::reference {

using Component = OSCAddressPattern::Component;
using Token = OSCAddressPattern::Token;
using CharacterGroup = OSCAddressPattern::CharacterGroup;

inline std::vector<std::string> split(std::string text) {
    if (text.empty()) return {};
    if (text.front() == '/') text.erase(0, 1);
    if (!text.empty() && text.back() == '/') text.pop_back();
    if (text.empty()) return {};
    std::vector<std::string> parts;
    std::string current;
    for (const char c : text) {
        if (c == '/') {
            parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    parts.push_back(current);
    return parts;
}

inline Token bracket(std::string text) {
    bool isExclusion = false;
    if (!text.empty() && text.front() == '!') {
        isExclusion = true;
        text.erase(0, 1);
    }
    std::set<CharacterGroup> groups;
    bool dashSeen = false;
    while (!text.empty()) {
        const auto dash = text.find('-');
        if (dash == std::string::npos) {
            for (const char c : text) groups.insert(CharacterGroup::single(c));
            break;
        }
        if (dash == 0 || dash == text.size() - 1) {
            text.erase(dash, 1);
            dashSeen = true;
            continue;
        }
        groups.insert(CharacterGroup::asciiRange(text[dash - 1], text[dash + 1]));
        text.erase(dash - 1, 3);
    }
    if (dashSeen) groups.insert(CharacterGroup::single('-'));
    return Token::singleChar(isExclusion, std::move(groups));
}

inline Token braces(const std::string& text) {
    std::set<std::string> pieces;
    std::string current;
    for (const char c : text) {
        if (c == ',') {
            if (!current.empty()) pieces.insert(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) pieces.insert(current);
    return Token::strings(std::move(pieces));
}

inline Component tokenize(const std::string& part) {
    Component component;
    std::string pending;
    const auto emit = [&] {
        if (!pending.empty()) component.tokens.push_back(Token::literal(pending));
        pending.clear();
    };
    std::size_t i = 0;
    while (i < part.size()) {
        const char c = part[i];
        if (c == '*') {
            emit();
            if (component.tokens.empty() || component.tokens.back().kind() != Token::Kind::zeroOrMoreWildcard) {
                component.tokens.push_back(Token::zeroOrMoreWildcard());
            }
            ++i;
        } else if (c == '?') {
            emit();
            component.tokens.push_back(Token::singleCharWildcard());
            ++i;
        } else if (c == '[' && part.find(']', i + 1) != std::string::npos) {
            const auto close = part.find(']', i + 1);
            auto token = bracket(part.substr(i + 1, close - i - 1));
            emit();
            component.tokens.push_back(std::move(token));
            i = close + 1;
        } else if ((c == '{' || c == '[') && part.find('}', i) != std::string::npos) {
            const auto close = part.find('}', i);
            auto token = braces(part.substr(i + 1, close - i - 1));
            emit();
            component.tokens.push_back(std::move(token));
            i = close + 1;
        } else {
            pending.push_back(c);
            ++i;
        }
    }
    emit();
    return component;
}

// Matching state, one type per kind of token.
struct MatchingToken {
    virtual ~MatchingToken() = default;
    virtual std::optional<std::size_t> match(std::string_view remainder) = 0;
    virtual void advance(std::size_t) {}
    virtual void reset() {}
    bool isExhausted = true;
};

struct Literal final : MatchingToken {
    explicit Literal(std::string text) : literal(std::move(text)) {}
    std::optional<std::size_t> match(std::string_view remainder) override {
        if (remainder.substr(0, literal.size()) == literal) return literal.size();
        return std::nullopt;
    }
    std::string literal;
};

struct SingleChar final : MatchingToken {
    SingleChar(bool exclusion, std::set<CharacterGroup> g) : isExclusion(exclusion), groups(std::move(g)) {}
    std::optional<std::size_t> match(std::string_view remainder) override {
        if (remainder.empty()) return std::nullopt;
        const unsigned char c = static_cast<unsigned char>(remainder[0]);
        bool inSome = false;
        for (const auto& group : groups) {
            if (group.kind() == CharacterGroup::Kind::single) {
                inSome = inSome || static_cast<unsigned char>(group.start()) == c;
            } else {
                const auto start = static_cast<unsigned char>(group.start());
                const auto end = static_cast<unsigned char>(group.end());
                inSome = inSome || (c < 128 && start < 128 && end < 128 && start <= c && c <= end);
            }
        }
        if (inSome != isExclusion) return 1;
        return std::nullopt;
    }
    bool isExclusion;
    std::set<CharacterGroup> groups;
};

struct Strings final : MatchingToken {
    explicit Strings(std::set<std::string> s) : strings(std::move(s)) {}
    std::optional<std::size_t> match(std::string_view remainder) override {
        if (strings.empty()) return 0;
        for (const auto& text : strings) {
            if (remainder.substr(0, text.size()) == text) return text.size();
        }
        return std::nullopt;
    }
    std::set<std::string> strings;
};

struct ZeroOrMoreWildcard final : MatchingToken {
    ZeroOrMoreWildcard() { isExhausted = false; }
    std::optional<std::size_t> match(std::string_view remainder) override {
        if (static_cast<long>(remainder.size()) >= currentLength) return static_cast<std::size_t>(currentLength);
        return std::nullopt;
    }
    void advance(std::size_t left) override {
        currentLength += 1;
        isExhausted = currentLength > static_cast<long>(left);
    }
    void reset() override {
        currentLength = 0;
        isExhausted = false;
    }
    long currentLength = 0;
};

struct SingleCharWildcard final : MatchingToken {
    std::optional<std::size_t> match(std::string_view remainder) override {
        if (remainder.empty()) return std::nullopt;
        return 1;
    }
};

inline std::unique_ptr<MatchingToken> matchingToken(const Token& token) {
    switch (token.kind()) {
    case Token::Kind::literal: return std::make_unique<Literal>(token.text());
    case Token::Kind::singleChar: return std::make_unique<SingleChar>(token.isExclusion(), token.groups());
    case Token::Kind::strings: return std::make_unique<Strings>(token.strings());
    case Token::Kind::zeroOrMoreWildcard: return std::make_unique<ZeroOrMoreWildcard>();
    case Token::Kind::singleCharWildcard: return std::make_unique<SingleCharWildcard>();
    }
    return nullptr;
}

inline bool backtrack(std::vector<std::unique_ptr<MatchingToken>>& tokens, std::size_t index, std::string_view part,
                      std::size_t position) {
    auto& token = *tokens[index];
    token.reset();
    for (;;) {
        if (const auto n = token.match(part.substr(position))) {
            if (index + 1 == tokens.size()) {
                if (position + *n == part.size()) return true;
            } else if (backtrack(tokens, index + 1, part, position + *n)) {
                return true;
            }
        }
        token.advance(part.size() - position);
        if (token.isExhausted) return false;
    }
}

inline bool matches(const Component& component, std::string_view part) {
    const auto& tokens = component.tokens;
    if (tokens.empty()) return part.empty();
    if (tokens.size() == 1 && tokens[0].kind() == Token::Kind::literal) return part == tokens[0].text();
    if (tokens.size() == 1 && tokens[0].kind() == Token::Kind::zeroOrMoreWildcard) return true;
    std::vector<std::unique_ptr<MatchingToken>> state;
    for (const auto& token : tokens) state.push_back(matchingToken(token));
    return backtrack(state, 0, part, 0);
}

inline bool matches(const std::string& pattern, const std::string& localAddress) {
    const auto patternParts = split(pattern);
    if (patternParts.empty()) return false;
    const auto localParts = split(localAddress);
    if (localParts.size() != patternParts.size()) return false;
    for (std::size_t i = 0; i < patternParts.size(); ++i) {
        if (!matches(tokenize(patternParts[i]), localParts[i])) return false;
    }
    return true;
}

}  // namespace vorn::osc::reference
