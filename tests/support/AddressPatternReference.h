#pragma once

// The address-pattern rules done the plain way, to check the real ones
// against: tokenizing by cutting strings apart, and matching by trying every
// length of every `*` in turn, over the address cut into user-perceived
// characters first. Exponential on patterns with many `*`, so only for small
// inputs. Shared by the property test and the fuzz target.

#include "ascii/Graphemes.h"
#include "osc/OSCAddressPattern.h"

#include <algorithm>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::osc::reference {

using Component = OSCAddressPattern::Component;
using Token = OSCAddressPattern::Token;
using CharacterGroup = OSCAddressPattern::CharacterGroup;

// `text` cut at every `separator`, empty pieces kept.
inline std::vector<std::string> cut(const std::string& text, char separator) {
    std::vector<std::string> pieces(1);
    for (const char c : text) c == separator ? (void)pieces.emplace_back() : pieces.back().push_back(c);
    return pieces;
}

inline std::vector<std::string> split(std::string text) {
    if (!text.empty() && text.front() == '/') text.erase(0, 1);
    if (!text.empty() && text.back() == '/') text.pop_back();
    return text.empty() ? std::vector<std::string>{} : cut(text, '/');
}

// Ranges are taken first, each from the characters around the first dash
// left; a dash at either end means a dash.
inline Token bracket(std::string text) {
    const bool isExclusion = !text.empty() && text.front() == '!';
    if (isExclusion) text.erase(0, 1);
    std::set<CharacterGroup> groups;
    for (std::size_t dash; (dash = text.find('-')) != std::string::npos;) {
        if (dash == 0 || dash == text.size() - 1) {
            text.erase(dash, 1);
            groups.insert(CharacterGroup::single('-'));
        } else {
            groups.insert(CharacterGroup::asciiRange(text[dash - 1], text[dash + 1]));
            text.erase(dash - 1, 3);
        }
    }
    for (const char c : text) groups.insert(CharacterGroup::single(c));
    return Token::singleChar(isExclusion, std::move(groups));
}

inline Token braces(const std::string& text) {
    std::set<std::string> pieces;
    for (auto& piece : cut(text, ',')) {
        if (!piece.empty()) pieces.insert(std::move(piece));
    }
    return Token::strings(std::move(pieces));
}

inline Component tokenize(const std::string& part) {
    Component component;
    std::string pending;
    const auto emit = [&](std::optional<Token> token) {
        if (!pending.empty()) component.tokens.push_back(Token::literal(std::exchange(pending, {})));
        if (token) component.tokens.push_back(std::move(*token));
    };
    for (std::size_t i = 0; i < part.size(); ++i) {
        const char c = part[i];
        const auto close = part.find(c == '[' && part.find(']', i + 1) != std::string::npos ? ']' : '}', i);
        if (c == '*') {
            if (i == 0 || part[i - 1] != '*') emit(Token::zeroOrMoreWildcard());  // a run of `*` is one
        } else if (c == '?') {
            emit(Token::singleCharWildcard());
        } else if ((c == '[' || c == '{') && close != std::string::npos) {
            const auto inside = part.substr(i + 1, close - i - 1);
            emit(part[close] == ']' ? bracket(inside) : braces(inside));
            i = close;
        } else {
            pending.push_back(c);
        }
    }
    emit(std::nullopt);
    return component;
}

// The user-perceived characters of `text`, each as its bytes.
inline std::vector<std::string> characters(std::string_view text) {
    std::vector<std::string> result;
    ascii::forEachGrapheme(text, [&](std::string_view character) { result.emplace_back(character); });
    return result;
}

using Characters = std::span<const std::string>;

inline bool startsWith(Characters rest, const std::string& text) {
    const auto wanted = characters(text);
    return wanted.size() <= rest.size() && std::equal(wanted.begin(), wanted.end(), rest.begin());
}

// A character of one byte may be in a set; ranges are of ASCII codes only.
inline bool takesFirst(const Token& token, Characters rest) {
    if (rest.empty()) return false;
    bool in = false;
    if (rest[0].size() == 1) {
        const auto c = static_cast<unsigned char>(rest[0][0]);
        for (const auto& group : token.groups()) {
            const auto start = static_cast<unsigned char>(group.start());
            const auto end = static_cast<unsigned char>(group.end());
            in = in || (group.kind() == CharacterGroup::Kind::single ? c == start
                                                                      : c < 128 && end < 128 && start <= c && c <= end);
        }
    }
    return in != token.isExclusion();
}

// Every token but `*` takes one length or none; alternatives take only the
// first text, in set order, that the remainder starts with. Lengths count
// characters.
inline bool backtrack(const std::vector<Token>& tokens, std::size_t index, Characters rest) {
    if (index == tokens.size()) return rest.empty();
    const Token& token = tokens[index];
    const auto next = [&](std::size_t n) { return n <= rest.size() && backtrack(tokens, index + 1, rest.subspan(n)); };
    switch (token.kind()) {
    case Token::Kind::zeroOrMoreWildcard:
        for (std::size_t n = 0; n <= rest.size(); ++n) {
            if (next(n)) return true;
        }
        return false;
    case Token::Kind::singleCharWildcard: return !rest.empty() && next(1);
    case Token::Kind::singleChar: return takesFirst(token, rest) && next(1);
    case Token::Kind::literal: return startsWith(rest, token.text()) && next(characters(token.text()).size());
    case Token::Kind::strings:
        if (token.strings().empty()) return next(0);
        for (const auto& text : token.strings()) {
            if (startsWith(rest, text)) return next(characters(text).size());
        }
        return false;
    }
    return false;
}

inline bool partMatches(const std::string& patternPart, const std::string& localPart) {
    const auto local = characters(localPart);
    return backtrack(tokenize(patternPart).tokens, 0, local);
}

inline bool matches(const std::string& pattern, const std::string& localAddress) {
    const auto patternParts = split(pattern);
    const auto localParts = split(localAddress);
    if (patternParts.empty() || localParts.size() != patternParts.size()) return false;
    for (std::size_t i = 0; i < patternParts.size(); ++i) {
        if (!partMatches(patternParts[i], localParts[i])) return false;
    }
    return true;
}

}  // namespace vorn::osc::reference
