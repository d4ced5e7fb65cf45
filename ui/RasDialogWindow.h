#pragma once
// The dial-up dialog as a window: the status line (2614), the time-left
// line (2615), a busy bar and Cancel. The dial itself runs in the core
// (sched/RasDialog); this is only its face. It opens window-modal and
// returns at once, so readers keep being served while it counts down.
//
// "Connection Monitor" (2649) is a dialog of its own; while the main window
// is hidden in the tray the untitled one (2648) is used, a borderless panel
// inside the main window that shows only when the window comes back.

#include <QPointer>
#include <QWidget>
#include <functional>

#include "sched/RasDialog.h"

class QLabel;
class QProgressBar;
class QPushButton;

class RasDialogWindow : public RasDialogView {
public:
    // frame: the main window; cancel: the dialog's Cancel (the
    // controller's CmCancel).
    RasDialogWindow(QWidget* frame, std::function<void()> cancel);
    ~RasDialogWindow() override;

    void DialogOpened(int resource) override;
    void SetCaption(std::string_view caption) override;
    void SetStatusLine(std::string_view text) override;
    void SetTimeLeft(std::string_view text) override;
    void DialogClosed(int result) override;

    // The window while a dial runs, else null.
    QWidget* Window() const { return window_; }
    QString StatusLine() const;
    QString TimeLeft() const;
    QPushButton* CancelButton() const { return cancel_; }

private:
    QWidget* frame_;
    std::function<void()> onCancel_;
    QPointer<QWidget> window_;
    QLabel* status_ = nullptr;
    QLabel* timeLeft_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
