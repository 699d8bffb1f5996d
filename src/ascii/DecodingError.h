#pragma once

#include <stdexcept>
#include <string>

namespace vorn::ascii {

// Reading an archived value (JSON) failed. The description is the text that
// the user or the log sees, without any prefix.
class DecodingError : public std::runtime_error {
public:
    enum class Kind { dataCorrupted, typeMismatch, keyNotFound };

    DecodingError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}

    static DecodingError dataCorrupted(const std::string& description) {
        return DecodingError(Kind::dataCorrupted, description);
    }

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    Kind kind_;
};

}  // namespace vorn::ascii
