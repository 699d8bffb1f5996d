#include "monitor/detail/Inbox.h"

#include "ascii/VisibleText.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace vorn::monitor::detail {

namespace {

constexpr std::string_view receivedPrefix = "\xE2\x86\x90 Received \xE2\x80\x9C";
constexpr std::string_view closeQuote = "\xE2\x80\x9D";

// "host:port", an IPv6 host in brackets so that the port stays readable.
std::string endpoint(const std::string& host, std::uint16_t port) {
    const std::string visibleHost = ascii::visibleText(host);
    const bool v6 = visibleHost.find(':') != std::string::npos;
    std::string text;
    text.reserve(visibleHost.size() + 8);
    text += v6 ? "[" : "";
    text += visibleHost;
    text += v6 ? "]:" : ":";
    text += std::to_string(port);
    return text;
}

}  // namespace

Inbox::Inbox(std::string desiredReply, std::size_t limit) : limit_(limit), desiredReply_(std::move(desiredReply)) {}

bool Inbox::receive(std::string_view address, const std::string& host, std::uint16_t port,
                    dispatch::Duration arrival) {
    ReceivedLine received;
    received.sender = host.empty() ? std::string() : endpoint(host, port);
    {
        std::lock_guard lock(replyMutex_);
        // An empty text would be found in every address; it is taken to
        // mean that nothing counts as a reply.
        received.isReply = !desiredReply_.empty() && address.find(desiredReply_) != std::string_view::npos;
        if (!received.isReply && !received.sender.empty()) {
            lastOtherSender_ = received.sender;
        }
    }
    // Credited before the line is queued, so that whoever sees the line or
    // the count it brings finds the interval credited.
    (received.isReply ? replyReceived_ : otherReceived_).store(true);

    // Anyone who reaches the port writes this text; escaped, it can neither
    // break the line nor drive the terminal that shows it.
    const std::string visible = ascii::visibleText(address);
    received.line.reserve(receivedPrefix.size() + visible.size() + closeQuote.size());
    received.line.append(receivedPrefix).append(visible).append(closeQuote);
    received.host = host;
    received.port = port;
    received.arrivedAt = arrival;

    std::lock_guard lock(linesMutex_);
    received.number = next_++;
    if (!lines_.empty() && lines_.size() >= limit_) {
        ++lines_.back().droppedAfter;
        return false;
    }
    lines_.push_back(std::move(received));
    return lines_.size() == 1;
}

std::vector<ReceivedLine> Inbox::take() {
    std::vector<ReceivedLine> taken;
    std::lock_guard lock(linesMutex_);
    const std::uint64_t before = holds_.empty() ? next_ : *std::min_element(holds_.begin(), holds_.end());
    if (!lines_.empty() && lines_.back().number < before) {
        taken.assign(std::make_move_iterator(lines_.begin()), std::make_move_iterator(lines_.end()));
        lines_.clear();
        return taken;
    }
    while (!lines_.empty() && lines_.front().number < before) {
        taken.push_back(std::move(lines_.front()));
        lines_.pop_front();
    }
    return taken;
}

std::uint64_t Inbox::hold() {
    std::lock_guard lock(linesMutex_);
    holds_.push_back(next_);
    return next_;
}

bool Inbox::release(std::uint64_t hold) {
    std::lock_guard lock(linesMutex_);
    if (const auto found = std::find(holds_.begin(), holds_.end(), hold); found != holds_.end()) {
        holds_.erase(found);
    }
    return !lines_.empty();
}

void Inbox::setDesiredReply(std::string text) {
    std::lock_guard lock(replyMutex_);
    desiredReply_ = std::move(text);
}

std::string Inbox::desiredReply() const {
    std::lock_guard lock(replyMutex_);
    return desiredReply_;
}

std::string Inbox::lastOtherSender() const {
    std::lock_guard lock(replyMutex_);
    return lastOtherSender_;
}

}  // namespace vorn::monitor::detail
