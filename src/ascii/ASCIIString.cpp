#include "ascii/ASCIIString.h"

#include "ascii/Graphemes.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/utrans.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace vorn::ascii {
namespace {

bool isPrintable(char c) {
    return c >= ' ' && c <= '~';
}

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
}

// Transliterators are not safe to share between threads and costly to
// create, so each thread makes its own on first use. If ICU cannot make one
// (its data missing), text goes on untransliterated and only the "?"
// substitution applies.
icu::Transliterator* latinToASCII() {
    thread_local const std::unique_ptr<icu::Transliterator> transliterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> created(
            icu::Transliterator::createInstance("Latin-ASCII", UTRANS_FORWARD, status));
        return U_SUCCESS(status) ? std::move(created) : nullptr;
    }();
    return transliterator.get();
}

// Ill-formed UTF-8 arrives as U+FFFD, which no Latin rule touches: it stays
// a non-ASCII character and becomes "?" afterwards.
std::string transliterated(std::string_view utf8) {
    icu::Transliterator* transliterator = latinToASCII();
    // ICU strings count in 32 bits.
    if (transliterator == nullptr || utf8.size() > static_cast<std::size_t>(INT32_MAX)) {
        return std::string(utf8);
    }
    icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    transliterator->transliterate(text);
    std::string result;
    text.toUTF8String(result);
    return result;
}

// For text that is already ASCII: every character outside " " to "~" is one
// "?", and CR LF is a single character.
std::string replacingControls(std::string_view ascii) {
    std::string result;
    result.reserve(ascii.size());
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        if (isPrintable(ascii[i])) {
            result += ascii[i];
            continue;
        }
        if (ascii[i] == '\r' && i + 1 < ascii.size() && ascii[i + 1] == '\n') {
            ++i;
        }
        result += '?';
    }
    return result;
}

std::string replacingNonPrintable(std::string_view utf8) {
    if (isASCII(utf8)) {
        return replacingControls(utf8);
    }
    std::string result;
    result.reserve(utf8.size());
    forEachGrapheme(utf8, [&](std::string_view character) {
        result += character.size() == 1 && isPrintable(character.front()) ? character.front() : '?';
    });
    return result;
}

}  // namespace

std::optional<ASCIIString> ASCIIString::exactly(std::string_view text) {
    // In UTF-8 every multi-byte sequence has bytes of 128 and above, and the
    // only character made of several ASCII scalars is CR LF, which has an
    // ASCII value of its own. So all bytes below 128 is the whole test.
    if (!isASCII(text)) {
        return std::nullopt;
    }
    return ASCIIString(Trusted{}, std::string(text));
}

ASCIIString ASCIIString::lossy(std::string_view text) {
    // The codec converts every string argument this way: plain printable
    // text must not pay for ICU.
    if (std::all_of(text.begin(), text.end(), isPrintable)) {
        return ASCIIString(Trusted{}, std::string(text));
    }
    if (isASCII(text)) {
        return ASCIIString(Trusted{}, replacingControls(text));
    }
    return ASCIIString(Trusted{}, replacingNonPrintable(transliterated(text)));
}

ASCIIString::ASCIIString(std::string_view text)
    : value_(isASCII(text) ? std::string(text) : std::move(lossy(text).value_)) {}

std::string ASCIIString::debugDescription() const {
    return "ASCIIString(\"" + value_ + "\")";
}

}  // namespace vorn::ascii

// The bytes are the text, so hashing the text covers both.
std::size_t std::hash<vorn::ascii::ASCIIString>::operator()(const vorn::ascii::ASCIIString& s) const noexcept {
    return std::hash<std::string>{}(s.stringValue());
}
