#pragma once

#include "osc/OSCSerialization.h"

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace vorn::osc {

// One immutable state of the registry. A registration publishes a new table
// and keeps the old ones, so a decoder may hold one for as long as it likes.
struct OSCSerialization::Table {
    std::vector<std::shared_ptr<const OSCValueType>> types;
    // The candidates for each tag byte, in registration order.
    std::array<std::vector<std::shared_ptr<const OSCValueType>>, 256> candidates;

    // For each tag byte, the built-in kind of its first candidate unless
    // that is an array or a registered type: the tags that decoding can read
    // without going through the candidates. Kept in step by `update`.
    std::array<std::optional<OSCValueKind>, 256> scalars{};

    const std::vector<std::shared_ptr<const OSCValueType>>& lookup(char tag) const noexcept {
        return candidates[static_cast<unsigned char>(tag)];
    }
    std::optional<OSCValueKind> leadingScalar(char tag) const noexcept {
        return scalars[static_cast<unsigned char>(tag)];
    }

    void update() noexcept {
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            const auto& list = candidates[c];
            const auto kind = list.empty() ? std::nullopt : list.front()->builtin;
            scalars[c] = kind == OSCValueKind::array ? std::nullopt : kind;
        }
    }
};

}  // namespace vorn::osc
