#include "tools/EchoPeer.h"

#include "../net/NetTesting.h"
#include "osc/OSCMessage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace vorn::tools {
namespace {

using net::testing::bundleOf;
using net::testing::patience;
using net::testing::Peer;
using net::testing::wire;
using osc::OSCMessage;
using osc::OSCValue;

std::string listeningLine(std::uint16_t port) {
    return "vorn-osc-echo listening on port " + std::to_string(port);
}

std::string pingLine(const std::string& host, std::uint16_t from, const std::string& reply, std::uint16_t to) {
    return "ping from " + endpointText(host, from) + " -> reply \"" + reply + "\" to " + endpointText(host, to);
}

// Decodes what a peer received, failing the test on anything but a message.
std::optional<OSCMessage> decoded(const std::optional<std::string>& datagram) {
    if (!datagram) {
        ADD_FAILURE() << "nothing arrived";
        return std::nullopt;
    }
    try {
        return OSCMessage::decode(std::span(reinterpret_cast<const std::uint8_t*>(datagram->data()), datagram->size()));
    } catch (const std::exception& error) {
        ADD_FAILURE() << "undecodable reply: " << error.what();
        return std::nullopt;
    }
}

// Collects the peer's output lines; tests wait on it instead of sleeping.
class Lines {
public:
    EchoPeer::LineSink sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }

    std::vector<std::string> waitFor(std::size_t count) const {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, patience, [&] { return lines_.size() >= count; });
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// An echo peer on ephemeral loopback ports, replying to `replier`.
struct Running {
    Running(const Peer& replier, std::string ping = "/eos/ping", std::string reply = "/eos/out/ping") {
        peer = EchoPeer::create({.listenPort = 0, .ping = std::move(ping), .reply = std::move(reply),
                                 .replyPort = replier.port()},
                                lines.sink());
        peer->start();
    }
    std::uint16_t portFor(int family) const {
        const auto& socket = peer->server()->udpSocket();
        return family == AF_INET ? socket->localPort_IPv4() : socket->localPort_IPv6();
    }
    Lines lines;
    std::shared_ptr<EchoPeer> peer;
};

TEST(EchoPeerTest, PingIsAnsweredWithTheReplyAddressAndItsArgumentsAtTheReplyPort) {
    struct Case {
        int family;
        std::string ping;
        std::string reply;
        std::vector<OSCValue> arguments;
    };
    const std::vector<Case> cases = {
        {AF_INET,
         "/eos/ping",
         "/eos/out/ping",
         {std::int32_t{42}, 0.5f, "hello world", std::vector<std::uint8_t>{1, 2, 3, 4, 5}, true}},
        {AF_INET6, "/console/ping", "/console/pong", {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(udp::testing::loopbackHost(test.family));
        Peer replier(test.family);
        Peer sender(test.family);
        ASSERT_TRUE(replier.ok() && sender.ok());
        Running running(replier, test.ping, test.reply);

        ASSERT_TRUE(sender.sendTo(running.portFor(test.family), wire(OSCMessage(test.ping, test.arguments))));

        const auto reply = decoded(replier.receive());
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, OSCMessage(test.reply, test.arguments));
        const std::string host = udp::testing::loopbackHost(test.family);
        EXPECT_EQ(running.lines.waitFor(2),
                  (std::vector<std::string>{listeningLine(running.peer->boundPort()),
                                            pingLine(host, sender.port(), test.reply, replier.port())}));
    }
}

// Only addresses that match the ping address are answered; the reply address
// above all must not be, or two echo peers would bounce replies forever.
TEST(EchoPeerTest, OtherAddressesAreReportedAndLeftUnanswered) {
    Peer replier(AF_INET);
    Peer sender(AF_INET);
    ASSERT_TRUE(replier.ok() && sender.ok());
    Running running(replier);
    const std::vector<std::string> others = {"/eos/ping/extra", "/eos/pin", "/EOS/PING", "/eos/out/ping", "/x/eos/ping",
                                             "/eos/out/*"};
    for (const auto& address : others) {
        ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(OSCMessage(address, {1.0f}))));
    }
    ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(OSCMessage("/eos/ping", {std::int32_t{99}}))));

    // The first reply to arrive answers the last datagram sent.
    const auto reply = decoded(replier.receive());
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, OSCMessage("/eos/out/ping", {std::int32_t{99}}));

    std::vector<std::string> expected = {listeningLine(running.peer->boundPort())};
    for (const auto& address : others) {
        expected.push_back("ignored \"" + address + "\" from 127.0.0.1:" + std::to_string(sender.port()));
    }
    expected.push_back(pingLine("127.0.0.1", sender.port(), "/eos/out/ping", replier.port()));
    EXPECT_EQ(running.lines.waitFor(expected.size()), expected);
}

// A peer may address the ping with a pattern; whatever pattern matches the
// ping address is a ping.
TEST(EchoPeerTest, PatternsMatchingThePingAddressAreAnswered) {
    Peer replier(AF_INET);
    Peer sender(AF_INET);
    ASSERT_TRUE(replier.ok() && sender.ok());
    Running running(replier);
    const std::vector<std::string> patterns = {"/eos/p*", "/*/ping", "/eos/{pong,ping}", "/eos/[o-q]in?"};
    std::vector<std::string> expected = {listeningLine(running.peer->boundPort())};
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        SCOPED_TRACE(patterns[i]);
        const OSCValue argument = static_cast<std::int32_t>(i);
        ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(OSCMessage(patterns[i], {argument}))));
        const auto reply = decoded(replier.receive());
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, OSCMessage("/eos/out/ping", {argument}));
        expected.push_back(pingLine("127.0.0.1", sender.port(), "/eos/out/ping", replier.port()));
    }
    ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(OSCMessage("/eos/p?"))));
    expected.push_back("ignored \"/eos/p?\" from 127.0.0.1:" + std::to_string(sender.port()));
    EXPECT_EQ(running.lines.waitFor(expected.size()), expected);
}

// A console answers a ping however it came, and at once: a bundle dated an
// hour ahead is not held back.
TEST(EchoPeerTest, PingInsideABundleIsAnsweredAtOnce) {
    Peer replier(AF_INET);
    Peer sender(AF_INET);
    ASSERT_TRUE(replier.ok() && sender.ok());
    Running running(replier);
    const auto bundle = bundleOf(
        {OSCMessage("/eos/fader/1", {0.25f}),
         bundleOf({OSCMessage("/eos/ping", {std::int32_t{3}})}, osc::OSCTimeTag::immediate())},
        osc::OSCTimeTag::fromSecondsFromNow(3600));
    ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(bundle)));

    const auto reply = decoded(replier.receive());
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, OSCMessage("/eos/out/ping", {std::int32_t{3}}));
    EXPECT_EQ(running.lines.waitFor(3),
              (std::vector<std::string>{
                  listeningLine(running.peer->boundPort()),
                  "ignored \"/eos/fader/1\" from 127.0.0.1:" + std::to_string(sender.port()),
                  pingLine("127.0.0.1", sender.port(), "/eos/out/ping", replier.port())}));
}

// ---------------------------------------------------------------------------
// The program itself

// vorn-osc-echo run with `arguments`, its output read through pipes.
class Program {
public:
    explicit Program(const std::vector<std::string>& arguments) {
        int out[2] = {-1, -1};
        int err[2] = {-1, -1};
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        stdout_ = out[0];
        stderr_ = err[0];

        std::vector<std::string> argv0 = {VORN_OSC_ECHO_PROGRAM};
        argv0.insert(argv0.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : argv0) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        // The test's threads may block signals; the program starts as a shell
        // would start it.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &stopSignals);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot run " << argv[0] << ": " << std::strerror(spawned);
            pid_ = -1;
        }
    }

    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {stdout_, stderr_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool running() const { return pid_ > 0; }

    // The next line on standard output, without its line feed; none at the
    // end of the output or when the patience runs out.
    std::optional<std::string> readLine() {
        std::string line;
        char c = 0;
        while (readByte(stdout_, c)) {
            if (c == '\n') {
                return line;
            }
            line.push_back(c);
        }
        return std::nullopt;
    }

    // Everything left on standard output or error, up to the program's end.
    std::string rest(bool standardError) {
        std::string text;
        drain(standardError ? stderr_ : stdout_, text);
        return text;
    }

    void signal(int number) const { ::kill(pid_, number); }

    // The exit status once the program has ended; none if a signal ended it,
    // or if it does not end within the patience (it is killed then).
    std::optional<int> exitStatus() {
        // Both outputs close when it ends: wait for that rather than poll.
        std::string ignored;
        if (!drain(stdout_, ignored) || !drain(stderr_, ignored)) {
            ADD_FAILURE() << "the program did not end";
            return std::nullopt;
        }
        int status = 0;
        ::waitpid(std::exchange(pid_, -1), &status, 0);
        if (!WIFEXITED(status)) {
            return std::nullopt;
        }
        return WEXITSTATUS(status);
    }

private:
    static bool readByte(int fd, char& c) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(patience.count())) != 1) {
            return false;
        }
        return ::read(fd, &c, 1) == 1;
    }

    // Reads to the end of the output; false if the patience runs out first.
    static bool drain(int fd, std::string& into) {
        for (;;) {
            pollfd watched{fd, POLLIN, 0};
            if (::poll(&watched, 1, static_cast<int>(patience.count())) != 1) {
                return false;
            }
            char buffer[512];
            const auto n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                return n == 0;
            }
            into.append(buffer, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
};

std::optional<std::uint16_t> listeningPort(const std::optional<std::string>& line) {
    const std::string prefix = "vorn-osc-echo listening on port ";
    if (!line || !line->starts_with(prefix)) {
        ADD_FAILURE() << "unexpected first line: " << line.value_or("(none)");
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(std::stoul(line->substr(prefix.size())));
}

TEST(EchoPeerProgramTest, AnswersPingsUntilAskedToStop) {
    for (const int stopSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(stopSignal));
        Peer replier(AF_INET);
        Peer sender(AF_INET);
        ASSERT_TRUE(replier.ok() && sender.ok());
        Program program({"--listen-port", "0", "--reply-port", std::to_string(replier.port())});
        ASSERT_TRUE(program.running());
        const auto port = listeningPort(program.readLine());
        ASSERT_TRUE(port);

        ASSERT_TRUE(sender.sendTo(*port, wire(OSCMessage("/eos/ping", {"cue 12"}))));
        const auto reply = decoded(replier.receive());
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, OSCMessage("/eos/out/ping", {"cue 12"}));
        EXPECT_EQ(program.readLine(), pingLine("127.0.0.1", sender.port(), "/eos/out/ping", replier.port()));

        program.signal(stopSignal);
        EXPECT_EQ(program.exitStatus(), 0);
    }
}

TEST(EchoPeerProgramTest, HeldPortIsReportedWithExitStatus1) {
    Peer holder(AF_INET);
    ASSERT_TRUE(holder.ok());
    const auto port = std::to_string(holder.port());
    Program program({"--listen-port", port});
    ASSERT_TRUE(program.running());

    const auto errors = program.rest(true);
    EXPECT_TRUE(errors.starts_with("vorn-osc-echo: cannot listen on port " + port + ": ")) << errors;
    EXPECT_NE(errors.find("Address already in use"), std::string::npos) << errors;
    EXPECT_EQ(program.rest(false), "");
    EXPECT_EQ(program.exitStatus(), 1);
}

TEST(EchoPeerProgramTest, BadOptionValuesAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"--listen-port", "65536"}, {"--listen-port", "-1"},  {"--listen-port", "eight"},
        {"--reply-port", "0"},      {"--ping", "eos/ping"},   {"--reply", "/eos/out ping"},
        {"--no-such-option"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " " + arguments.back() : ""));
        Program program(arguments);
        ASSERT_TRUE(program.running());
        EXPECT_NE(program.rest(true), "");
        EXPECT_EQ(program.rest(false), "");
        EXPECT_EQ(program.exitStatus(), 2);
    }
}

}  // namespace
}  // namespace vorn::tools
