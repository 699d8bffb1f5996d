#include "osc/detail/OSCReadPattern.h"

#include "osc/detail/OSCBytes.h"
#include "osc/detail/OSCPatternTokens.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vorn::osc::detail {

namespace {

bool isWildcard(char c) noexcept { return c == '*' || c == '?' || c == '[' || c == '{'; }

// Whether `text` starts with `prefix`. Plain parts are short: comparing a
// word at a time costs less than a call into the library.
bool startsWith(std::string_view text, std::string_view prefix) noexcept {
    if (prefix.size() > text.size()) return false;
    const auto* a = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* b = reinterpret_cast<const std::uint8_t*>(prefix.data());
    std::size_t i = 0;
    for (; i + 8 <= prefix.size(); i += 8) {
        if (bytes::load64(a + i) != bytes::load64(b + i)) return false;
    }
    for (; i < prefix.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace

ReadPattern::ReadPattern(std::string_view text) : text_(text) {
    std::string_view rest = text_;
    if (rest.starts_with('/')) rest.remove_prefix(1);
    const auto wildcard = static_cast<std::size_t>(std::find_if(rest.begin(), rest.end(), isWildcard) - rest.begin());
    if (wildcard == rest.size()) {
        if (rest.ends_with('/')) rest.remove_suffix(1);
        plain_ = rest;
        anyPart_ = !rest.empty();
        return;
    }
    anyPart_ = true;
    anyWildcard_ = true;
    // Parts of plain text before the first wildcard match only the same
    // bytes, and so the slashes between them too: they are compared as one
    // text. A slash right at the start stays with them, for the empty part
    // it ends (//a/* has the parts "", a and *).
    const auto slash = rest.rfind('/', wildcard);
    const std::size_t plainSize = slash == std::string_view::npos ? 0 : slash + 1;
    plain_ = rest.substr(0, plainSize);
    rest.remove_prefix(plainSize);
    AddressParts parts(rest, AddressParts::AfterSlash{});
    while (!parts.done()) {
        const PartTokens read(parts.next());
        const auto tokens = read.tokens();
        parts_.push_back({tokens_.size(), tokens.size(), read.shape()});
        tokens_.insert(tokens_.end(), tokens.begin(), tokens.end());
    }
    keepAlternatives(tokens_, alternatives_);
}

bool ReadPattern::matches(std::string_view localAddress) const {
    if (!anyPart_) return false;
    if (localAddress.starts_with('/')) localAddress.remove_prefix(1);
    if (!anyWildcard_) {
        if (localAddress.ends_with('/')) localAddress.remove_suffix(1);
        return localAddress.size() == plain_.size() && startsWith(localAddress, plain_);
    }
    if (!startsWith(localAddress, plain_)) return false;
    localAddress.remove_prefix(plain_.size());
    // Without plain parts the rest is the whole address but for its leading
    // slash, and has no parts when nothing is left but a trailing one.
    if (plain_.empty() && localAddress == "/") return false;
    AddressParts local(localAddress, AddressParts::AfterSlash{});
    const char* const end = localAddress.data() + localAddress.size();
    // Whether the bytes of the parts not yet matched are all characters,
    // looked at once for all of them, at the first part that needs to know.
    Plain plain = Plain::unknown;
    bool looked = false;
    for (const auto& part : parts_) {
        if (local.done()) return false;
        const auto localPart = local.next();
        if (part.shape.form == PartShape::Form::tokens && !looked) {
            looked = true;
            const std::string_view left(localPart.data(), static_cast<std::size_t>(end - localPart.data()));
            if (bytesAreCharacters(left)) plain = Plain::yes;
        }
        const std::span<const PatternToken> tokens(tokens_.data() + part.first, part.count);
        if (!tokensMatch(tokens, part.shape, localPart, plain)) return false;
    }
    return local.done();
}

}  // namespace vorn::osc::detail
