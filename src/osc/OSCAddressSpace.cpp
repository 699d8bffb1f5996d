#include "osc/OSCAddressSpace.h"

#include "dispatch/ConcurrentQueue.h"
#include "osc/OSCMessage.h"
#include "osc/detail/OSCPatternTokens.h"

#include <algorithm>
#include <random>
#include <utility>

namespace vorn::osc {

namespace {

std::mt19937_64& generator() {
    // Seeded once per thread, so that ids made on different threads never
    // share a sequence and no lock is needed.
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    return engine;
}

MethodID::UUID randomUUID() {
    MethodID::UUID uuid{};
    auto& engine = generator();
    for (std::size_t half = 0; half < 2; ++half) {
        auto bits = engine();
        for (std::size_t i = 0; i < 8; ++i) {
            uuid[half * 8 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
        }
    }
    // Version 4 (random), variant 10xx as in RFC 4122.
    uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);
    uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);
    return uuid;
}

using Node = OSCAddressSpace::Node;

std::shared_ptr<Node> emptyRoot() { return std::make_shared<Node>(OSCAddressSpace::NodeType::container, ""); }

std::shared_ptr<Node> child(const Node& parent, std::string_view name) {
    const auto found = std::find_if(parent.children.begin(), parent.children.end(),
                                    [name](const auto& node) { return node->name == name; });
    return found == parent.children.end() ? nullptr : *found;
}

}  // namespace

MethodID::MethodID() : uuid_(randomUUID()) {}

std::string MethodID::text() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < uuid_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[uuid_[i] >> 4]);
        text.push_back(digits[uuid_[i] & 0x0F]);
    }
    return text;
}

OSCAddressSpace::OSCAddressSpace() : root_(emptyRoot()) {}

MethodID OSCAddressSpace::registerMethod(std::string_view localAddress, Block block) {
    const auto parts = OSCAddressPattern::split(localAddress);
    if (parts.empty()) return MethodID();
    auto node = root_;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        auto next = child(*node, parts[i]);
        if (!next) {
            next = std::make_shared<Node>(last ? NodeType::method : NodeType::container, std::string(parts[i]));
            node->children.push_back(next);
        }
        node = std::move(next);
    }
    node->nodeType = NodeType::method;
    node->block = std::move(block);
    return node->id;
}

bool OSCAddressSpace::unregisterMethod(std::string_view localAddress) {
    const auto parts = OSCAddressPattern::split(localAddress);
    if (parts.empty()) return false;
    auto parent = root_;
    std::shared_ptr<Node> node;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (node) parent = node;
        node = child(*parent, parts[i]);
        if (!node) return false;
    }
    if (node->nodeType == NodeType::container) return false;
    if (node->children.empty()) {
        std::erase(parent->children, node);
    } else {
        node->nodeType = NodeType::container;
        node->block = nullptr;
    }
    return true;
}

void OSCAddressSpace::unregisterAll() { root_ = emptyRoot(); }

std::vector<std::shared_ptr<Node>> OSCAddressSpace::nodes(const OSCAddressPattern& matching) const {
    detail::AddressParts parts(matching.rawAddress());
    std::vector<std::shared_ptr<Node>> level;
    if (parts.done()) return level;
    level.push_back(root_);
    while (!parts.done() && !level.empty()) {
        // Read once, tried against every name at this level.
        const detail::PartTokens part(parts.next());
        const bool last = parts.done();
        std::vector<std::shared_ptr<Node>> next;
        for (const auto& node : level) {
            for (const auto& candidate : node->children) {
                if (last && candidate->nodeType != NodeType::method) continue;
                if (part.matches(candidate->name)) next.push_back(candidate);
            }
        }
        level = std::move(next);
    }
    return level;
}

std::vector<MethodID> OSCAddressSpace::methods(const OSCAddressPattern& matching) const {
    std::vector<MethodID> ids;
    for (const auto& node : nodes(matching)) ids.push_back(node->id);
    return ids;
}

std::vector<MethodID> OSCAddressSpace::dispatch(const OSCMessage& message, const std::string& host,
                                                std::uint16_t port) const {
    const auto matched = nodes(message.addressPattern());
    std::vector<MethodID> ids;
    ids.reserve(matched.size());
    // One copy of the values, shared by every task.
    std::shared_ptr<const std::vector<OSCValue>> values;
    for (const auto& node : matched) {
        ids.push_back(node->id);
        if (!node->block) continue;
        if (!values) values = std::make_shared<const std::vector<OSCValue>>(message.values());
        // The block is copied: the node may be re-registered or removed
        // before the task runs.
        vorn::dispatch::sharedExecutor()->async(
            [block = node->block, values, host, port] { block(*values, host, port); });
    }
    return ids;
}

std::vector<MethodID> OSCAddressSpace::dispatch(const OSCMessage& message) const {
    return dispatch(message, std::string(), 0);
}

}  // namespace vorn::osc
