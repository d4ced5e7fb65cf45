#include "ui/LoopDriver.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include "net/EventLoop.h"

LoopDriver::LoopDriver(EventLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), notifier_(loop.Fd(), QSocketNotifier::Read) {
    // Deadlines of the core are short (a one-second tick, pauses of a few
    // hundred milliseconds); a coarse timer would stretch them.
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&notifier_, &QSocketNotifier::activated, this, &LoopDriver::Pass);
    connect(&timer_, &QTimer::timeout, this, &LoopDriver::Pass);
    if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance(thread()))
        idle_ = connect(d, &QAbstractEventDispatcher::aboutToBlock, this, &LoopDriver::Arm);
    Arm();
}

LoopDriver::~LoopDriver() { disconnect(idle_); }

void LoopDriver::Pass() {
    if (inPass_) return;
    inPass_ = true;
    ++passes_;
    loop_.RunOnce(0);
    inPass_ = false;
    Arm();
}

void LoopDriver::Arm() {
    if (loop_.Stopped()) {
        timer_.stop();
        notifier_.setEnabled(false);
        return;
    }
    const int ms = loop_.NextTimeoutMs();
    // Restarting an armed timer for the same deadline would only push it
    // back by the time spent deciding; leave it when it is due no later.
    if (timer_.isActive() && timer_.remainingTime() <= ms) return;
    timer_.start(ms);
}
