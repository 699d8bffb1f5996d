#pragma once

namespace vorn::monitor {

// What the monitor does to get the user's attention when the link goes from
// ALIVE to DEAD with the alarm on. The desktop app flags its window and posts
// a desktop notification; the command-line monitor writes to the terminal.
class DeadLinkAlert {
public:
    virtual ~DeadLinkAlert() = default;

    // Called on the main thread, once per transition to DEAD, only while the
    // alarm is on. Must not block: the show goes on while the user looks.
    virtual void raiseDeadLinkAlert() = 0;
};

}  // namespace vorn::monitor
