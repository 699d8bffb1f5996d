#pragma once

#include "osc/OSCAddressPattern.h"
#include "osc/OSCValue.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::osc {

class OSCMessage;

// Names one method of an address space: a random (version 4) UUID made when
// the method's node is created.
class MethodID {
public:
    using UUID = std::array<std::uint8_t, 16>;

    // A fresh random identity, from a generator seeded by std::random_device
    // once per thread.
    MethodID();
    explicit MethodID(const UUID& uuid) noexcept : uuid_(uuid) {}

    const UUID& uuid() const noexcept { return uuid_; }
    // "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx" in lowercase hex.
    std::string text() const;
    std::string description() const { return text(); }

    friend bool operator==(const MethodID&, const MethodID&) = default;

private:
    UUID uuid_;
};

// A tree of methods keyed by local address (/mixer/fader/1). An incoming
// message's address pattern picks the methods it reaches, and dispatch runs
// their blocks on the shared executor.
//
// The space has no lock: callers serialise registration, removal and
// lookups. Blocks run concurrently with each other and with the caller.
class OSCAddressSpace {
public:
    // A method's handler: the message's values, the sender's host and port.
    using Block = std::function<void(const std::vector<OSCValue>& values, const std::string& host, std::uint16_t port)>;

    enum class NodeType { container = 0, method = 1 };

    // Nodes are shared: a lookup's result holds the same nodes as the tree.
    struct Node {
        Node(NodeType type, std::string nodeName, Block nodeBlock = {})
            : nodeType(type), name(std::move(nodeName)), block(std::move(nodeBlock)) {}

        NodeType nodeType;
        const MethodID id;
        std::string name;  // one address part; empty for the root
        Block block;       // empty for none
        std::vector<std::shared_ptr<Node>> children;  // in insertion order
    };

    OSCAddressSpace();

    // Makes `localAddress` a method with `block` (replacing a block it had)
    // and returns its id; the containers on the way are made as needed.
    // Registering an address again returns the same id. An address with no
    // parts ("" or "/") stores nothing and returns an id of no node.
    MethodID registerMethod(std::string_view localAddress, Block block = {});
    // Removes the method at `localAddress`, or turns it back into a container
    // when it has children. False when there is no method there. Containers
    // left empty stay.
    bool unregisterMethod(std::string_view localAddress);
    void unregisterAll();

    // The methods `pattern` reaches, breadth first in registration order.
    std::vector<MethodID> methods(const OSCAddressPattern& matching) const;
    // The same nodes; containers are never among them.
    std::vector<std::shared_ptr<Node>> nodes(const OSCAddressPattern& matching) const;

    // Starts each matched method's block with the message's values, `host`
    // and `port` on dispatch::sharedExecutor(), without waiting, and returns
    // the ids of every matched method, with a block or without.
    std::vector<MethodID> dispatch(const OSCMessage& message, const std::string& host, std::uint16_t port) const;
    // For messages that came from nowhere in particular: blocks see an empty
    // host and port 0.
    std::vector<MethodID> dispatch(const OSCMessage& message) const;

    const std::shared_ptr<Node>& root() const noexcept { return root_; }

private:
    std::shared_ptr<Node> root_;
};

}  // namespace vorn::osc

template <>
struct std::hash<vorn::osc::MethodID> {
    std::size_t operator()(const vorn::osc::MethodID& id) const noexcept {
        // The bytes are random already: any eight of them make a hash.
        std::size_t value = 0;
        for (std::size_t i = 0; i < sizeof value; ++i) value = value << 8 | id.uuid()[i];
        return value;
    }
};
