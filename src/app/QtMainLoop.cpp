#include "app/QtMainLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

namespace vorn::app {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
}

// A repeating timer re-armed as a single shot towards the next point of its
// grid, so a tick that runs late does not shift the ones after it (QTimer's
// own repetition would restart its interval from the late tick), and a
// thread held up past several deadlines gets one tick for them all.
struct RepeatingTimer {
    QPointer<QTimer> timer;
    Clock::time_point deadline;
    dispatch::Duration interval;
    dispatch::Task tick;
    std::atomic<bool> cancelled{false};
};

}  // namespace

// Other threads post through this, so the loop's context object must not
// vanish between their check and their post.
struct QtMainLoop::Shared {
    std::mutex mutex;
    QObject* context = nullptr;
};

QtMainLoop::QtMainLoop()
    : context_(new QObject),
      mainThread_(std::this_thread::get_id()),
      start_(std::chrono::steady_clock::now()),
      shared_(std::make_shared<Shared>()) {
    shared_->context = context_;
}

QtMainLoop::~QtMainLoop() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->context = nullptr;
    }
    // Tasks still queued for the context die with it, unrun.
    delete context_;
}

void QtMainLoop::post(dispatch::Task task) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->context == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(shared_->context, std::move(task), Qt::QueuedConnection);
}

void QtMainLoop::postAfter(dispatch::Duration delay, dispatch::Task task) {
    // The delay counts from now even when the post spends a while in the
    // queue; QTimer itself may only be started on the main thread.
    const auto deadline = Clock::now() + delay;
    post([this, deadline, task = std::move(task)]() mutable {
        QTimer::singleShot(millisecondsUntil(deadline), Qt::PreciseTimer, context_, std::move(task));
    });
}

dispatch::Cancellable QtMainLoop::startRepeatingTimer(dispatch::Duration interval, dispatch::Task tick) {
    auto repeating = std::make_shared<RepeatingTimer>();
    repeating->interval = std::max<dispatch::Duration>(interval, std::chrono::milliseconds(1));
    repeating->deadline = Clock::now() + repeating->interval;
    repeating->tick = std::move(tick);

    auto* timer = new QTimer(context_);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    repeating->timer = timer;
    // The connection owns the state, so the state lives exactly as long as
    // the QTimer; the handle only points at it.
    QObject::connect(timer, &QTimer::timeout, timer, [repeating] {
        if (repeating->cancelled.load()) {
            repeating->timer->deleteLater();
            return;
        }
        repeating->tick();
        if (repeating->cancelled.load() || repeating->timer == nullptr) {
            return;
        }
        // On the grid, past any deadline that a held-up thread missed.
        repeating->deadline = dispatch::nextDeadline(repeating->deadline, repeating->interval, Clock::now());
        repeating->timer->start(millisecondsUntil(repeating->deadline));
    });
    timer->start(millisecondsUntil(repeating->deadline));

    return dispatch::Cancellable(
        [weak = std::weak_ptr<RepeatingTimer>(repeating), mainThread = mainThread_] {
            auto state = weak.lock();
            if (!state) {
                return;
            }
            state->cancelled.store(true);
            // Off the main thread the QTimer is not ours to touch; the flag
            // alone stops it at its next deadline.
            if (std::this_thread::get_id() == mainThread && state->timer != nullptr) {
                state->timer->stop();
                state->timer->deleteLater();
            }
        });
}

void QtMainLoop::runPending() {
    QCoreApplication::sendPostedEvents(context_, QEvent::MetaCall);
}

dispatch::Duration QtMainLoop::now() const {
    return Clock::now() - start_;
}

bool QtMainLoop::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

}  // namespace vorn::app
