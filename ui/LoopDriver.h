#pragma once
// Runs the core's event loop from Qt's: a socket notifier on the loop's
// epoll descriptor and a single-shot timer for its next deadline, each of
// which runs one pass that waits for nothing. Just before Qt's loop goes to
// sleep the timer is armed again from the core's state, so work that a Qt
// handler posted into the core (a menu command, a page's action) runs in
// the same turn, and the core's ticks keep time inside modal dialogs too.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

class EventLoop;

class LoopDriver : public QObject {
    Q_OBJECT
public:
    explicit LoopDriver(EventLoop& loop, QObject* parent = nullptr);
    ~LoopDriver() override;

    // One pass of the core's loop, then the timer armed anew. A pass asked
    // for while one runs (a core handler that pumped Qt's loop) is refused:
    // the core is never re-entered.
    void Pass();
    // Passes run so far; tests wait on it.
    long Passes() const { return passes_; }

private:
    void Arm();

    EventLoop& loop_;
    QSocketNotifier notifier_;
    QTimer timer_;
    QMetaObject::Connection idle_;
    bool inPass_ = false;
    long passes_ = 0;
};
