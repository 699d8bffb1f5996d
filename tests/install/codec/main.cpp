// Encodes and decodes a bundle and hands a message to an address space;
// exits 0 only when all of it comes back as it went in.

#include "osc/OSCAddressSpace.h"
#include "osc/OSCBundle.h"
#include "osc/OSCMessage.h"

// Asio's settings come with the transport's targets; the codec's users
// compile without them.
#ifdef ASIO_STANDALONE
#error "vorn::osc passed Asio's compile settings on"
#endif

#include <chrono>
#include <cstdint>
#include <exception>
#include <future>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace vorn;

int fail(const std::string& what) {
    std::cerr << "vorn-osc-codec-consumer: " << what << '\n';
    return 1;
}

}  // namespace

int main() try {
    const osc::OSCMessage sent("/consumer/cue", {std::int32_t{12}, 0.5f, "go"});
    const osc::OSCBundle bundle({sent});
    const auto decoded = osc::OSCBundle::decode(bundle.rawData());
    if (!(decoded == bundle)) {
        return fail("decoded " + decoded.description() + " from " + bundle.description());
    }

    // The address space runs blocks on the library's own executor.
    osc::OSCAddressSpace space;
    std::promise<std::vector<osc::OSCValue>> arrived;
    space.registerMethod("/consumer/cue",
                         [&](const std::vector<osc::OSCValue>& values, const std::string&, std::uint16_t) {
                             arrived.set_value(values);
                         });
    if (space.dispatch(sent).size() != 1) {
        return fail("the address space matched nothing for " + sent.description());
    }
    auto values = arrived.get_future();
    // The bound only keeps a lost task from hanging the test.
    if (values.wait_for(std::chrono::seconds(30)) != std::future_status::ready || values.get() != sent.values()) {
        return fail("the method did not get the values of " + sent.description());
    }
    std::cout << "decoded and dispatched " << sent.description() << '\n';
    return 0;
} catch (const std::exception& error) {
    return fail(error.what());
}
