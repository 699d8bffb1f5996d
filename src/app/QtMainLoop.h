#pragma once

#include "dispatch/MainLoop.h"

#include <QObject>

#include <chrono>
#include <memory>
#include <thread>

namespace vorn::app {

// The main loop on Qt's event loop: posted tasks and timers run on the
// thread that runs QApplication::exec(). Construct it on that thread, after
// the application object.
class QtMainLoop final : public dispatch::MainLoop {
public:
    QtMainLoop();
    ~QtMainLoop() override;

    QtMainLoop(const QtMainLoop&) = delete;
    QtMainLoop& operator=(const QtMainLoop&) = delete;

    void post(dispatch::Task task) override;
    void postAfter(dispatch::Duration delay, dispatch::Task task) override;
    [[nodiscard]] dispatch::Cancellable startRepeatingTimer(dispatch::Duration interval,
                                                            dispatch::Task tick) override;
    bool isMainThread() const override;
    dispatch::Duration now() const override;

    // Runs the tasks posted so far, on the main thread, without the rest of
    // the event loop: for shutdown, when no event loop runs any more.
    void runPending();

private:
    struct Shared;

    QObject* context_;
    std::thread::id mainThread_;
    std::chrono::steady_clock::time_point start_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace vorn::app
