#include "osc/OSCAddressSpace.h"

#include "osc/OSCMessage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vorn::osc {
namespace {

using NodeType = OSCAddressSpace::NodeType;

// Calls of dispatched blocks, gathered from the executor's threads.
class Calls {
public:
    struct Call {
        std::string method;
        std::vector<OSCValue> values;
        std::string host;
        std::uint16_t port;
    };

    OSCAddressSpace::Block block(std::string method) {
        return [this, method](const std::vector<OSCValue>& values, const std::string& host, std::uint16_t port) {
            std::lock_guard lock(mutex_);
            calls_.push_back({method, values, host, port});
            changed_.notify_all();
        };
    }

    std::vector<Call> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return calls_.size() >= count; });
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

TEST(OSCAddressSpaceTest, ContainersLeadOnAndOnlyMethodsAreFound) {
    OSCAddressSpace space;
    const auto b = space.registerMethod("/a/b");
    ASSERT_EQ(space.root()->children.size(), 1u);
    const auto& a = space.root()->children[0];
    EXPECT_EQ(a->name, "a");
    EXPECT_EQ(a->nodeType, NodeType::container);
    ASSERT_EQ(a->children.size(), 1u);
    EXPECT_EQ(a->children[0]->nodeType, NodeType::method);

    EXPECT_TRUE(space.methods("/a").empty());
    EXPECT_EQ(space.methods("/a/b"), std::vector<MethodID>{b});
    EXPECT_EQ(space.methods("/*/b"), std::vector<MethodID>{b});
    EXPECT_EQ(space.methods("a/b/"), std::vector<MethodID>{b});
    EXPECT_TRUE(space.methods("/a/b/c").empty());
    EXPECT_TRUE(space.methods("/").empty());
    EXPECT_TRUE(space.methods("/*").empty());
}

TEST(OSCAddressSpaceTest, RegisteringAgainKeepsTheNodeAndReplacesItsBlock) {
    OSCAddressSpace space;
    Calls calls;
    const auto b = space.registerMethod("/a/b");
    const auto a = space.registerMethod("/a", calls.block("first"));
    EXPECT_EQ(space.registerMethod("/a", calls.block("second")), a);
    EXPECT_EQ(space.methods("/a"), std::vector<MethodID>{a});
    EXPECT_EQ(space.methods("/a/b"), std::vector<MethodID>{b});  // kept under a

    EXPECT_EQ(space.dispatch(OSCMessage("/a")), std::vector<MethodID>{a});
    const auto seen = calls.waitFor(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "second");

    EXPECT_TRUE(space.unregisterMethod("/a"));
    EXPECT_EQ(space.root()->children[0]->nodeType, NodeType::container);
    EXPECT_FALSE(space.root()->children[0]->block);
    EXPECT_TRUE(space.methods("/a").empty());
    EXPECT_EQ(space.methods("/a/b"), std::vector<MethodID>{b});
    EXPECT_FALSE(space.unregisterMethod("/a"));  // a container now
}

TEST(OSCAddressSpaceTest, UnregisteringRemovesLeavesAndLeavesEmptyContainers) {
    OSCAddressSpace space;
    space.registerMethod("/a/b");
    space.registerMethod("/a/c");
    EXPECT_FALSE(space.unregisterMethod("/a/x"));
    EXPECT_FALSE(space.unregisterMethod("/x/b"));
    EXPECT_FALSE(space.unregisterMethod("/"));
    EXPECT_TRUE(space.unregisterMethod("/a/b"));
    EXPECT_FALSE(space.unregisterMethod("/a/b"));
    EXPECT_TRUE(space.unregisterMethod("/a/c/"));
    ASSERT_EQ(space.root()->children.size(), 1u);
    EXPECT_TRUE(space.root()->children[0]->children.empty());
    EXPECT_EQ(space.root()->children[0]->nodeType, NodeType::container);
}

TEST(OSCAddressSpaceTest, AddressesWithoutPartsStoreNothing) {
    OSCAddressSpace space;
    const auto first = space.registerMethod("/");
    const auto second = space.registerMethod("");
    EXPECT_NE(first, second);
    EXPECT_TRUE(space.root()->children.empty());
    EXPECT_FALSE(space.unregisterMethod("/"));
}

TEST(OSCAddressSpaceTest, EmptyPartsAreNamesOfTheirOwn) {
    OSCAddressSpace space;
    const auto empty = space.registerMethod("/a//b");
    const auto plain = space.registerMethod("/a/b");
    EXPECT_NE(empty, plain);
    EXPECT_EQ(space.methods("/a//b"), std::vector<MethodID>{empty});
    EXPECT_EQ(space.methods("/a/*/b"), std::vector<MethodID>{empty});
    EXPECT_EQ(space.methods("/a/?/b"), std::vector<MethodID>{});
}

TEST(OSCAddressSpaceTest, MatchesComeLevelByLevelInRegistrationOrder) {
    OSCAddressSpace space;
    const auto yb = space.registerMethod("/y/b");
    const auto xb = space.registerMethod("/x/b");
    const auto xa = space.registerMethod("/x/a");
    space.registerMethod("/z/a/deeper");
    EXPECT_EQ(space.methods("/*/*"), (std::vector<MethodID>{yb, xb, xa}));
    EXPECT_EQ(space.methods("/[xz]/{a,b}"), (std::vector<MethodID>{xb, xa}));
    EXPECT_EQ(space.methods("/?/a"), (std::vector<MethodID>{xa}));

    space.unregisterAll();
    EXPECT_TRUE(space.methods("/*/*").empty());
    EXPECT_TRUE(space.root()->children.empty());
    EXPECT_NE(space.registerMethod("/x/b"), xb);
}

TEST(OSCAddressSpaceTest, DispatchStartsEveryBlockAndReturnsEveryMatchedMethod) {
    OSCAddressSpace space;
    Calls calls;
    const auto one = space.registerMethod("/one", calls.block("one"));
    const auto two = space.registerMethod("/two");
    const auto three = space.registerMethod("/three", calls.block("three"));
    space.registerMethod("/four/deeper", calls.block("deeper"));

    const std::vector<OSCValue> values = {std::int32_t{7}, "text", 0.5f};
    EXPECT_EQ(space.dispatch(OSCMessage("/*", values), "::1", 9000), (std::vector<MethodID>{one, two, three}));
    auto seen = calls.waitFor(2);
    ASSERT_EQ(seen.size(), 2u);
    std::set<std::string> methods;
    for (const auto& call : seen) {
        methods.insert(call.method);
        EXPECT_EQ(call.values, values);
        EXPECT_EQ(call.host, "::1");
        EXPECT_EQ(call.port, 9000);
    }
    EXPECT_EQ(methods, (std::set<std::string>{"one", "three"}));

    EXPECT_EQ(space.dispatch(OSCMessage("/one")), std::vector<MethodID>{one});
    seen = calls.waitFor(3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].method, "one");
    EXPECT_EQ(seen[2].host, "");
    EXPECT_EQ(seen[2].port, 0);

    EXPECT_TRUE(space.dispatch(OSCMessage("/nothing/here")).empty());
}

// xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx, y one of 8, 9, a, b.
bool isVersion4Text(const std::string& text) {
    if (text.size() != 36 || text[14] != '4' || std::string_view("89ab").find(text[19]) == std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return false;
        if (!dash && std::string_view("0123456789abcdef").find(text[i]) == std::string_view::npos) return false;
    }
    return true;
}

TEST(OSCAddressSpaceTest, MethodIDsAreRandomVersion4UUIDs) {
    std::unordered_set<MethodID> ids;
    for (int i = 0; i < 1000; ++i) {
        const MethodID id;
        EXPECT_TRUE(isVersion4Text(id.text())) << id.text();
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 1000u);

    MethodID::UUID bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 17);
    const MethodID fixed(bytes);
    EXPECT_EQ(fixed.uuid(), bytes);
    EXPECT_EQ(fixed.text(), "00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_EQ(MethodID(bytes), fixed);
}

}  // namespace
}  // namespace vorn::osc
