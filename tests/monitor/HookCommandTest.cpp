// Commands run on a change of state: split without a shell, run without
// blocking, their output logged escaped and bounded, never more than a few
// at once.

#include "monitor/HookCommand.h"

#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vorn::monitor {
namespace {

using Words = std::vector<std::string>;

TEST(HookCommandTest, SplitsLikeAShellWithoutExpandingAnything) {
    const std::pair<std::string, Words> cases[] = {
        {"", {}},
        {"  \t ", {}},
        {"oscsend localhost 53000 /cue/1/go", {"oscsend", "localhost", "53000", "/cue/1/go"}},
        {"sh -c 'echo \"$VORN_STATE\" | tee -a log'", {"sh", "-c", "echo \"$VORN_STATE\" | tee -a log"}},
        {R"(a\ b "c \"d\" \\ \e" '')", {"a b", R"(c "d" \ \e)", ""}},
        {"x'y'\"z\" $HOME *", {"xyz", "$HOME", "*"}},
    };
    for (const auto& [command, words] : cases) {
        SCOPED_TRACE(command);
        EXPECT_EQ(splitCommand(command), words);
    }
    for (const std::string bad : {"echo 'open", "echo \"open", "echo \\"}) {
        std::string why;
        EXPECT_EQ(splitCommand(bad, &why), std::nullopt) << bad;
        EXPECT_FALSE(why.empty());
    }
}

TEST(HookCommandTest, StateMessageTargetsParseOrSayWhy) {
    const auto target = parseStateMessage("10.0.0.5:53000/cue/1/go");
    ASSERT_TRUE(target);
    EXPECT_EQ(target->host, "10.0.0.5");
    EXPECT_EQ(target->port, 53000);
    EXPECT_EQ(target->address, "/cue/1/go");
    const auto six = parseStateMessage("[::1]:9000/x");
    ASSERT_TRUE(six);
    EXPECT_EQ(six->host, "::1");
    EXPECT_EQ(six->port, 9000);
    for (const std::string bad : {"host/x", "host:/x", ":9000/x", "host:0/x", "host:65536/x", "host:9000",
                                  "host:9x/x", "[::1/x", "[::1]9000/x", "host:9000/a b", "host/p:9000/x"}) {
        std::string why;
        EXPECT_EQ(parseStateMessage(bad, &why), std::nullopt) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

// The lines a runner hands over, as (event, text).
struct Lines : dispatch::testing::Recorded<std::pair<std::string, std::string>> {
    HookRunner::LineSink sink() {
        return [this](HookRunner::Kind kind, std::string line) { add({std::string(kind.event), std::move(line)}); };
    }
    // Everything, once `ended` commands have ended or failed.
    std::vector<std::pair<std::string, std::string>> waitForEnds(std::size_t ended) const {
        return waitUntil([ended](const auto& lines) {
            return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const auto& line) {
                       return line.first == "hookEnded" || line.first == "hookFailed";
                   })) >= ended;
        });
    }
};

TEST(HookCommandTest, OutputIsLoggedEscapedAndBoundedWithTheExitStatus) {
    Lines seen;
    {
        HookRunner runner(seen.sink());
        runner.run("on-dead",
                   {"sh", "-c", "echo \"$VORN_STATE at $VORN_TARGET\"; printf 'bad\\033]0;x\\a\\n' >&2; exit 3"},
                   {{"VORN_STATE", "DEAD"}, {"VORN_TARGET", "127.0.0.1:8000"}});
        ASSERT_EQ(seen.waitForEnds(1).size(), 4u);
    }
    std::vector<std::pair<std::string, std::string>> expected = {
        {"hookStarted", "\xE2\x96\xB6\xEF\xB8\x8F Running on-dead command: sh -c echo \"$VORN_STATE at $VORN_TARGET\"; "
                        "printf 'bad\\033]0;x\\a\\n' >&2; exit 3"},
        {"hookOutput", "   on-dead: DEAD at 127.0.0.1:8000"},
        {"hookOutput", "   on-dead: bad\\x1B]0;x\\x07"},
        {"hookEnded", "\xE2\x8F\xB9 on-dead command ended with exit code 3"},
    };
    EXPECT_EQ(seen.waitFor(0), expected);

    Lines chatty;
    {
        HookRunner runner(chatty.sink());
        runner.run("on-alive", {"seq", "1", "30"}, {});
        runner.run("on-alive", {"vorn-no-such-program"}, {});
        (void)chatty.waitForEnds(2);
    }
    std::size_t output = 0;
    bool cut = false;
    bool refused = false;
    for (const auto& [kind, line] : chatty.waitFor(0)) {
        output += line.starts_with("   on-alive: ");
        cut = cut || line == "\xE2\x80\xA6 on-alive output cut after 20 lines";
        refused = refused || line == "\xE2\x80\xBC\xEF\xB8\x8F on-alive command could not start: No such file or directory";
    }
    EXPECT_EQ(output, HookRunner::maxOutputLines);
    EXPECT_TRUE(cut);
    EXPECT_TRUE(refused);
}

// Commands that hang never pile up, and going away ends them rather than
// waiting for them.
TEST(HookCommandTest, AtMostFourRunAndTheRestAreRefused) {
    Lines seen;
    {
        HookRunner runner(seen.sink());
        for (std::size_t i = 0; i <= HookRunner::maxRunning; ++i) {
            runner.run("on-dead", {"sleep", "600"}, {});
        }
        (void)seen.waitForEnds(1);
        EXPECT_EQ(runner.running(), HookRunner::maxRunning);
    }
    std::size_t refused = 0;
    std::size_t ended = 0;
    for (const auto& [kind, line] : seen.waitFor(0)) {
        refused += line == "\xE2\x80\xBC\xEF\xB8\x8F on-dead command not run: 4 commands still running";
        ended += line == "\xE2\x8F\xB9 on-dead command ended by signal 15";
    }
    EXPECT_EQ(refused, 1u);
    EXPECT_EQ(ended, HookRunner::maxRunning) << "going away ends the commands rather than waiting for them";
}

}  // namespace
}  // namespace vorn::monitor
