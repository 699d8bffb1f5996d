#include "osc/OSCErrors.h"

#include <gtest/gtest.h>

namespace vorn::osc {
namespace {

TEST(OSCErrors, DescriptionsCarryTheirPrefixes) {
    EXPECT_STREQ(OSCEncodeError::general().what(), "General error.");
    EXPECT_STREQ(OSCEncodeError::unexpectedEncoder().what(), "Unexpected encoder type.");

    const auto malformed = OSCDecodeError::malformed("Length not a multiple of 4 bytes.");
    EXPECT_EQ(malformed.kind(), OSCDecodeError::Kind::malformed);
    EXPECT_EQ(malformed.text(), "Length not a multiple of 4 bytes.");
    EXPECT_EQ(malformed.description(), "Malformed data: Length not a multiple of 4 bytes.");

    EXPECT_EQ(OSCDecodeError::unexpectedType('Q').description(), "Unexpected OSC Type Tag: Q");
    EXPECT_EQ(OSCDecodeError::internalInconsistency("Negative byte count requested: -1").description(),
              "Internal inconsistency: Negative byte count requested: -1");
    EXPECT_EQ(OSCSerializationError().description(), "Tag already registered");
}

}  // namespace
}  // namespace vorn::osc
