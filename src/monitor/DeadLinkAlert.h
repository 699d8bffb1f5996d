#pragma once

namespace vorn::monitor {

// What one alert asks for.
struct DeadLinkAlertRequest {
    // A reminder that the link is still DEAD, not the transition itself.
    bool reminder = false;
    // The user wants to hear it: the desktop's notification sound, the
    // terminal's bell.
    bool sound = false;
};

// What the monitor does to get the user's attention when the link goes from
// ALIVE to DEAD with the alarm on. The desktop app flags its window and posts
// a desktop notification; the command-line monitor writes to the terminal.
class DeadLinkAlert {
public:
    virtual ~DeadLinkAlert() = default;

    // Called on the main thread, once per transition to DEAD, only while the
    // alarm is on. Must not block: the show goes on while the user looks.
    virtual void raiseDeadLinkAlert() = 0;

    // What the monitor calls: at each transition to DEAD and at each reminder
    // while it lasts, only while the alarm is on and not muted. An alert
    // that has nothing to add to raiseDeadLinkAlert() keeps this default.
    virtual void alertDeadLink(const DeadLinkAlertRequest& request) {
        static_cast<void>(request);
        raiseDeadLinkAlert();
    }
};

}  // namespace vorn::monitor
