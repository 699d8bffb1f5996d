#pragma once

#include "osc/detail/OSCPatternTokens.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::osc::detail {

// A pattern's parts read into tokens once, so that matching it again and
// again walks only the local address. It keeps its own copy of the text,
// which its tokens view, and so is never copied or moved once made. Nothing
// in it changes after construction: any number of threads may match through
// one at once.
class ReadPattern {
public:
    explicit ReadPattern(std::string_view text);
    ReadPattern(const ReadPattern&) = delete;
    ReadPattern& operator=(const ReadPattern&) = delete;

    // OSCAddressPattern::matches.
    bool matches(std::string_view localAddress) const;

private:
    struct Part {
        std::size_t first;
        std::size_t count;
        PartShape shape;
    };

    std::string text_;
    bool anyPart_ = false;
    bool anyWildcard_ = false;
    // Without a wildcard, the text with one leading and one trailing "/"
    // dropped. With one, the text after any leading "/" up to the last "/"
    // before the first wildcard, that slash included: the plain parts, which
    // a local address matches by holding the same bytes.
    std::string_view plain_;
    // The parts after `plain_`, each a run of `tokens_`.
    std::vector<Part> parts_;
    std::vector<PatternToken> tokens_;
    std::vector<std::string_view> alternatives_;
};

}  // namespace vorn::osc::detail
