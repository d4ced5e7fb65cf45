#include "ui/qvSplash.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "ui/Icons.h"

namespace {

QPixmap SplashPicture() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const qreal ratio = screen != nullptr ? screen->devicePixelRatio() : 1.0;
    return icons::Picture(icons::kSplash, QSize(420, 240), ratio);
}

}  // namespace

qvSplash::qvSplash(std::function<void()> gone, int showMs)
    : QSplashScreen(SplashPicture()), gone_(std::move(gone)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("splash"));
    QTimer::singleShot(showMs, this, [this] {
        close();
        if (gone_) gone_();
    });
}

void qvSplash::mousePressEvent(QMouseEvent* /*event*/) {}
