#include "ascii/Graphemes.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace vorn::ascii {
namespace {

// Creating a break iterator loads rules; keep one per thread instead of one
// per call, since titles are shortened on every keystroke.
icu::BreakIterator* characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> created(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(created) : nullptr;
    }();
    return iterator.get();
}

struct UTextCloser {
    void operator()(UText* text) const noexcept { utext_close(text); }
};

// Without ICU's data no grapheme rules are known; code points are the next
// best thing and still never split a multi-byte sequence.
template <class Visit>
void forEachCodePointBoundary(std::string_view utf8, Visit visit) {
    for (std::size_t offset = 1; offset <= utf8.size(); ++offset) {
        const bool startsNext = offset == utf8.size() || (static_cast<unsigned char>(utf8[offset]) & 0xC0U) != 0x80U;
        if (startsNext && !visit(offset)) {
            return;
        }
    }
}

// Calls `visit(byteOffset)` for each boundary after the start until it returns
// false or the text ends. Offsets are byte offsets, because a UTF-8 UText
// uses bytes as its native index.
template <class Visit>
void forEachBoundary(std::string_view utf8, Visit visit) {
    // Break iterators report 32-bit offsets.
    icu::BreakIterator* iterator =
        utf8.size() <= static_cast<std::size_t>(INT32_MAX) ? characterIterator() : nullptr;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, UTextCloser> text(
        utext_openUTF8(nullptr, utf8.data(), static_cast<std::int64_t>(utf8.size()), &status));
    if (iterator != nullptr && U_SUCCESS(status)) {
        iterator->setText(text.get(), status);
    }
    if (iterator == nullptr || U_FAILURE(status)) {
        forEachCodePointBoundary(utf8, visit);
        return;
    }
    iterator->first();
    for (std::int32_t boundary = iterator->next(); boundary != icu::BreakIterator::DONE;
         boundary = iterator->next()) {
        if (!visit(static_cast<std::size_t>(boundary))) {
            break;
        }
    }
    // The iterator holds a shallow clone of the text; detach it before the
    // text goes away.
    UText* empty = utext_openUTF8(nullptr, "", 0, &status);
    iterator->setText(empty, status);
    utext_close(empty);
}

}  // namespace

std::size_t graphemeCount(std::string_view utf8) {
    std::size_t count = 0;
    forEachBoundary(utf8, [&](std::size_t) {
        ++count;
        return true;
    });
    return count;
}

std::string graphemePrefix(std::string_view utf8, std::size_t count) {
    if (count == 0) {
        return {};
    }
    std::size_t end = utf8.size();
    std::size_t seen = 0;
    forEachBoundary(utf8, [&](std::size_t boundary) {
        if (++seen == count) {
            end = boundary;
            return false;
        }
        return true;
    });
    return std::string(utf8.substr(0, std::min(end, utf8.size())));
}

void forEachGrapheme(std::string_view utf8, const std::function<void(std::string_view)>& visit) {
    std::size_t start = 0;
    forEachBoundary(utf8, [&](std::size_t boundary) {
        const std::size_t end = std::min(boundary, utf8.size());
        if (end > start) {
            visit(utf8.substr(start, end - start));
            start = end;
        }
        return true;
    });
    // Nothing of the text is ever dropped, whatever the iterator reported.
    if (start < utf8.size()) {
        visit(utf8.substr(start));
    }
}

}  // namespace vorn::ascii
