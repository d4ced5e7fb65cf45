#include "ui/RasDialogWindow.h"

#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/UiText.h"

namespace {

using uitext::Q;

// The titled window: Escape and its close button mean Cancel, and the
// window stays until the dial says it is over.
class MonitorDialog : public QDialog {
public:
    MonitorDialog(QWidget* parent, std::function<void()> cancel)
        : QDialog(parent), cancel_(std::move(cancel)) {}

protected:
    void reject() override {
        if (cancel_) cancel_();
    }

private:
    std::function<void()> cancel_;
};

}  // namespace

RasDialogWindow::RasDialogWindow(QWidget* frame, std::function<void()> cancel)
    : frame_(frame), onCancel_(std::move(cancel)) {}

RasDialogWindow::~RasDialogWindow() { delete window_.data(); }

void RasDialogWindow::DialogOpened(int resource) {
    delete window_.data();
    QWidget* w = nullptr;
    if (resource == RasDialog::kTrayResource) {
        auto* panel = new QFrame(frame_);
        panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
        panel->setAutoFillBackground(true);
        w = panel;
    } else {
        auto* dialog = new MonitorDialog(frame_, onCancel_);
        dialog->setWindowTitle(QObject::tr("Connection Monitor"));
        dialog->setWindowModality(Qt::WindowModal);
        w = dialog;
    }
    w->setObjectName(QStringLiteral("rasDialog"));
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("statusLine"));  // 2614
    status_->setMinimumWidth(status_->fontMetrics().averageCharWidth() * 48);
    timeLeft_ = new QLabel;
    timeLeft_->setObjectName(QStringLiteral("timeLeft"));  // 2615
    auto* busy = new QProgressBar;
    busy->setRange(0, 0);  // a dial tells its steps, not how far it is
    busy->setTextVisible(false);
    cancel_ = new QPushButton(QObject::tr("Cancel"));
    cancel_->setDefault(true);
    QObject::connect(cancel_, &QPushButton::clicked, w, [this] {
        if (onCancel_) onCancel_();
    });
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(w);
    layout->addWidget(status_);
    layout->addWidget(timeLeft_);
    layout->addWidget(busy);
    layout->addLayout(buttons);
    window_ = w;
    if (auto* dialog = qobject_cast<QDialog*>(w)) {
        dialog->open();
    } else {
        w->adjustSize();
        w->move((frame_->width() - w->width()) / 2, (frame_->height() - w->height()) / 2);
        w->show();
        w->raise();
    }
}

void RasDialogWindow::SetCaption(std::string_view caption) {
    if (window_) window_->setWindowTitle(Q(caption));
}

void RasDialogWindow::SetStatusLine(std::string_view text) {
    if (window_) status_->setText(Q(text));
}

void RasDialogWindow::SetTimeLeft(std::string_view text) {
    if (window_) timeLeft_->setText(Q(text));
}

void RasDialogWindow::DialogClosed(int /*result*/) {
    if (!window_) return;
    // Deleted later: this runs inside the dial's own call chain, which a
    // click on Cancel may have started from the window's button.
    window_->hide();
    window_->deleteLater();
    window_ = nullptr;
}

QString RasDialogWindow::StatusLine() const { return window_ ? status_->text() : QString(); }

QString RasDialogWindow::TimeLeft() const { return window_ ? timeLeft_->text() : QString(); }
