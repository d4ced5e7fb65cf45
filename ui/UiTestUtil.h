#pragma once
// What the desktop tests share: a server home made current for the test,
// the desktop host started in it without a splash, waiting on Qt's loop
// (which also runs the core's), and a watcher that answers the message
// boxes and questions that open, recording what they said.

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <climits>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/util/TestUtil.h"
#include "ui/qvApp.h"

namespace uitest {

// Runs Qt's loop (and with it the core's) until pred holds or ms pass.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred() && std::chrono::steady_clock::now() < end) QTest::qWait(5);
    return pred();
}

// A home of its own, current while the test runs: Quorvel.INI with a free
// listen port, the news directory and an upstream (so no wizard) unless
// bare, and allowip.ini admitting loopback.
class Home {
public:
    explicit Home(bool bare = false) {
        char buf[PATH_MAX];
        oldCwd_ = ::getcwd(buf, sizeof buf) ? buf : "/";
        port_ = testutil::FreePort();
        if (!bare) testutil::WriteHome(dir_.Path(), port_);
        (void)::chdir(dir_.Path().c_str());
    }
    ~Home() { (void)::chdir(oldCwd_.c_str()); }
    Home(const Home&) = delete;
    Home& operator=(const Home&) = delete;

    const std::string& Path() const { return dir_.Path(); }
    std::string operator/(std::string_view name) const { return dir_ / name; }
    void Write(std::string_view name, std::string_view text) const { dir_.Write(name, text); }
    std::string Read(std::string_view name) const { return dir_.Read(name); }
    int Port() const { return port_; }

    DesktopOptions Options() const {
        DesktopOptions o;
        o.server.home = dir_.Path();
        o.server.version = "test";
        o.server.directory = dir_.Path();
        o.server.controlChannel = false;
        o.splash = false;
        return o;
    }

private:
    testutil::TempDir dir_;
    std::string oldCwd_;
    int port_ = 0;
};

// The desktop host started in a home, its listener open.
struct Desktop {
    explicit Desktop(const Home& home) : app(home.Options()) {
        started = app.InitMainWindow() && WaitFor([this] { return app.Core().Started(); });
    }
    qvApp app;
    bool started = false;
};

// A newsreader's thread, which talks while the test's thread runs the
// loops. When it goes it is told to stop and joined, also when a check
// failed halfway.
class Background {
public:
    explicit Background(std::function<void(const std::atomic<bool>& stop)> fn)
        : thread_([this, fn = std::move(fn)] { fn(stop_); }) {}
    ~Background() { Join(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    void Join() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Answers every message box that opens, in turn from the answers queued
// (QMessageBox::Ok when none is), and keeps what each one said as
// "<title>: <text>".
class BoxWatcher {
public:
    BoxWatcher() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
        timer_.start();
    }
    void Answer(QMessageBox::StandardButton button) { answers_.push_back(button); }
    const std::vector<std::string>& Seen() const { return seen_; }
    bool SawText(const std::string& part) const {
        for (const std::string& s : seen_)
            if (s.find(part) != std::string::npos) return true;
        return false;
    }
    // Waits until n boxes have been answered.
    bool WaitForBoxes(std::size_t n, int ms = 5000) const {
        return WaitFor([this, n] { return seen_.size() >= n; }, ms);
    }

private:
    void Look() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box == nullptr || !box->isVisible() || handled_.contains(box)) continue;
            handled_.push_back(box);
            seen_.push_back(box->windowTitle().toStdString() + ": " + box->text().toStdString());
            QMessageBox::StandardButton b = QMessageBox::Ok;
            if (!answers_.empty()) {
                b = answers_.front();
                answers_.pop_front();
            }
            QAbstractButton* button = box->button(b);
            if (button == nullptr) button = box->buttons().value(0);
            // Clicked from the loop, not from inside this look.
            QTimer::singleShot(0, button, [button] { button->click(); });
        }
        // Boxes that are gone leave the list, so a new box at an old
        // address is seen.
        handled_.removeIf([](const QPointer<QMessageBox>& p) { return p.isNull(); });
    }

    QTimer timer_;
    std::deque<QMessageBox::StandardButton> answers_;
    std::vector<std::string> seen_;
    QList<QPointer<QMessageBox>> handled_;
};

}  // namespace uitest
