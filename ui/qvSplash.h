#pragma once
// The splash window: the program's picture (3301) without caption or
// border, shown while the main window is being built. It goes by itself
// after kShowMs on a timer; nothing waits for it, so the server starts
// serving readers underneath.

#include <QSplashScreen>
#include <functional>

class qvSplash : public QSplashScreen {
    Q_OBJECT
public:
    static constexpr int kShowMs = 2750;  // 11 steps of 250 ms

    // gone runs once the splash has closed.
    explicit qvSplash(std::function<void()> gone, int showMs = kShowMs);

protected:
    // A click does not close it early: the frame appears at its time.
    void mousePressEvent(QMouseEvent* event) override;

private:
    std::function<void()> gone_;
};
