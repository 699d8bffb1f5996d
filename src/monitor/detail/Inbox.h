#pragma once

#include "dispatch/MainLoop.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::monitor::detail {

// One received message, as the main thread logs it.
struct ReceivedLine {
    // The log line, the address escaped.
    std::string line;
    // "host:port" ("[host]:port" for IPv6); empty when the sender is unknown.
    std::string sender;
    std::string host;
    std::uint16_t port = 0;
    bool isReply = false;
    dispatch::Duration arrivedAt{0};
    // Its place among all the messages handed over.
    std::uint64_t number = 0;
    // Messages that came after it while the list was full.
    std::uint64_t droppedAfter = 0;
};

// The monitor's receive side, shared with the handlers that the receive
// paths call on their own queues: the reply check, the interval's credit,
// and the lines waiting for the main thread, oldest first.
//
// A peer fills the waiting lines as fast as it sends, so they are bounded:
// while `limit` lines wait, the lines of further messages are only counted,
// and the main thread says how many in one line where they would have been.
// Such a message still credits the interval, so a monitor that falls behind
// its log never takes a live link for a dead one.
//
// The handlers hold this rather than the monitor, so that a receive queue
// is never the one to let the monitor go.
class Inbox {
public:
    Inbox(std::string desiredReply, std::size_t limit);

    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    // Any thread. Checks `address` against the reply text, credits the
    // interval and queues the line. True when no line waited before this
    // one: the caller then has the main thread take().
    bool receive(std::string_view address, const std::string& host, std::uint16_t port,
                 dispatch::Duration arrival);

    // Main thread. The lines that wait, oldest first, in one step; but not
    // those of messages handed over after a hold() still in force.
    std::vector<ReceivedLine> take();

    // Any thread. Holds back the lines of the messages handed over from now
    // on, until release(): for lines the monitor decides now and logs in a
    // later turn. release() says whether lines still wait.
    std::uint64_t hold();
    bool release(std::uint64_t hold);

    void setDesiredReply(std::string text);
    std::string desiredReply() const;

    // Whether a reply, or any other message, came since these were last
    // taken; taken and cleared in one step.
    bool takeReplyReceived() { return replyReceived_.exchange(false); }
    bool takeOtherReceived() { return otherReceived_.exchange(false); }
    bool replyReceived() const { return replyReceived_.load(); }
    // The sender of the last message that was no reply.
    std::string lastOtherSender() const;

private:
    const std::size_t limit_;

    mutable std::mutex replyMutex_;
    std::string desiredReply_;
    std::string lastOtherSender_;
    std::atomic<bool> replyReceived_{false};
    std::atomic<bool> otherReceived_{false};

    mutable std::mutex linesMutex_;
    std::deque<ReceivedLine> lines_;
    std::uint64_t next_ = 0;
    // The holds in force: the numbers of the first messages they hold back.
    std::vector<std::uint64_t> holds_;
};

}  // namespace vorn::monitor::detail
