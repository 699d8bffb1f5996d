// Encodes and decodes a message, then sends it over loopback to a server of
// its own; exits 0 only when what arrived is what was sent.

#include "net/OSCClient.h"
#include "net/OSCServer.h"
#include "osc/OSCMessage.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

namespace {

using namespace vorn;

int fail(const std::string& what) {
    std::cerr << "vorn-osc-consumer: " << what << '\n';
    return 1;
}

}  // namespace

int main() try {
    const osc::OSCMessage sent("/consumer/cue", {std::int32_t{12}, 0.5f, "go"});

    const auto decoded = osc::OSCMessage::decode(sent.rawData());
    if (!(decoded == sent)) {
        return fail("decoded " + decoded.description() + " from " + sent.description());
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<osc::OSCMessage> received;
    const auto server = net::OSCServer::create(
        0, net::OSCTimeTagMode::ignore, nullptr,
        [&](const osc::OSCMessage& message, const osc::OSCTimeTag&, const std::string&, std::uint16_t) {
            const std::lock_guard lock(mutex);
            received = message;
            arrived.notify_one();
        });
    server->start();

    net::OSCClient client;
    client.send(sent, "127.0.0.1", server->boundPort());

    bool arrivedInTime = false;
    {
        std::unique_lock lock(mutex);
        // Loopback delivers at once; the bound only keeps a lost datagram
        // from hanging the test.
        arrivedInTime = arrived.wait_for(lock, std::chrono::seconds(30), [&] { return received.has_value(); });
    }
    server->stop();

    if (!arrivedInTime) {
        return fail("nothing arrived on port " + std::to_string(server->boundPort()));
    }
    if (!(*received == sent)) {
        return fail("received " + received->description() + " for " + sent.description());
    }
    std::cout << "received " << received->description() << '\n';
    return 0;
} catch (const std::exception& error) {
    return fail(error.what());
}
