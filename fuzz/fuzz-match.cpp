// An address pattern comes from the network and a local address from the
// program: whatever both hold, matching answers without crashing or stalling,
// the address space finds what the pattern matches, and on inputs small
// enough for it, both give the answer plain backtracking gives.
//
// The input is the pattern, a line feed and the local address; without a line
// feed the input is matched against itself.

#include "support/AddressPatternReference.h"
#include "osc/OSCAddressPattern.h"
#include "osc/OSCAddressSpace.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using vorn::osc::OSCAddressPattern;
using vorn::osc::OSCAddressSpace;
namespace reference = vorn::osc::reference;

// Plain backtracking tries every way of sharing a part among its asterisks;
// beyond these sizes one input could take minutes.
constexpr std::size_t referenceLimit = 16;

[[noreturn]] void fail(const char* what, const std::string& pattern, std::string_view address) {
    std::fprintf(stderr, "%s: pattern \"%s\", address \"%.*s\"\n", what, pattern.c_str(),
                 static_cast<int>(address.size()), address.data());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto newline = input.find('\n');
    const auto patternText = input.substr(0, newline);
    const auto address = newline == std::string_view::npos ? input : input.substr(newline + 1);

    // Text that is not ASCII is converted on the way in, as for a decoded
    // message; the local address may be any bytes.
    const OSCAddressPattern pattern(patternText);
    const bool matched = pattern.matches(address);
    for (const auto& component : pattern.components()) (void)component.description();

    // The address space's lookup takes the same path and must agree: the
    // method at the address is found exactly when the pattern matches it.
    // A sibling and a parent share the tree without changing the answer.
    OSCAddressSpace space;
    space.registerMethod("/sibling");
    const auto id = space.registerMethod(address);
    space.registerMethod(std::string(address) + "/child");
    const auto found = space.methods(pattern);
    const bool foundIt = std::find(found.begin(), found.end(), id) != found.end();
    if (foundIt != matched) {
        fail(matched ? "the address space missed a match" : "the address space found a method it does not match",
             std::string(pattern.rawAddress()), address);
    }

    const std::string ascii(pattern.rawAddress());
    if (ascii.size() <= referenceLimit && address.size() <= referenceLimit) {
        for (const auto part : OSCAddressPattern::split(ascii)) {
            if (OSCAddressPattern::tokenize(part) != reference::tokenize(std::string(part))) {
                fail("tokens differ from the plain reading", ascii, part);
            }
        }
        if (matched != reference::matches(ascii, std::string(address))) {
            fail(matched ? "matched where backtracking does not" : "missed a match that backtracking finds", ascii,
                 address);
        }
    }
    return 0;
}
