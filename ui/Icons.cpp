#include "ui/Icons.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

// The pictures live in a static library, whose resources the linker keeps
// only when something names them.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace {

QString PathOf(int id) {
    static const bool ready = (InitIconResources(), true);
    (void)ready;
    return QStringLiteral(":/icons/%1.svg").arg(id);
}

}  // namespace

namespace icons {

QIcon Icon(int id) {
    const QString path = PathOf(id);
    if (!QFile::exists(path)) return {};
    // Rendered here rather than through Qt's SVG icon plugin, which a
    // desktop may lack: a missing plugin would leave every icon blank.
    QIcon icon;
    // Qt takes the nearest size at or above what a screen needs, so the
    // large ones serve high-DPI screens.
    for (int size : {16, 20, 24, 32, 40, 48, 64, 96, 128, 256})
        icon.addPixmap(Picture(id, QSize(size, size), 1.0));
    return icon;
}

QPixmap Picture(int id, QSize size, qreal devicePixelRatio) {
    QSvgRenderer renderer(PathOf(id));
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.fill(Qt::transparent);
    if (renderer.isValid()) {
        QPainter painter(&pixmap);
        renderer.render(&painter);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

}  // namespace icons
