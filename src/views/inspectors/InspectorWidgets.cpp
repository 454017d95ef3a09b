#include "views/inspectors/InspectorWidgets.h"

#include "views/kit/Symbols.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QPainter>

namespace InspectorWidgets {

QIcon applicationIcon(const QString &path)
{
    // The desktop has no bundle icons; one generic application stands for every ".app",
    // wherever it is shown, rather than the folder a bundle is on disk.
    if (path.endsWith(QLatin1String(".app"), Qt::CaseInsensitive)) {
        const QIcon themed = QIcon::fromTheme(QStringLiteral("application-x-executable"));
        if (!themed.isNull())
            return themed;
    }
    const QFileIconProvider provider;
    const QIcon icon = provider.icon(QFileInfo(path));
    // A dangling link has no icon of its own.
    return icon.isNull() ? provider.icon(QAbstractFileIconProvider::File) : icon;
}

QPixmap appIcon(const QString &path, int size, bool linked, int badgeSymbolSize, qreal badgePadding,
                int offset)
{
    const qreal ratio = qApp->devicePixelRatio();
    const int extra = linked ? offset : 0;
    QPixmap canvas(QSize(size + extra, size + extra) * ratio);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QIcon icon = applicationIcon(path);
    painter.drawPixmap(QRect(extra, 0, size, size), icon.pixmap(QSize(size, size), ratio));
    if (linked) {
        const qreal diameter = badgeSymbolSize + 2 * badgePadding;
        const QRectF badge(0, size + extra - diameter, diameter, diameter);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 77)); // the shadow, one pixel down
        painter.drawEllipse(badge.translated(0, 1));
        painter.setBrush(Qt::white);
        painter.drawEllipse(badge);
        const QPixmap arrow = Symbols::pixmap(QStringLiteral("arrow.turn.up.right"),
                                              badgeSymbolSize, QColor(Qt::black));
        painter.drawPixmap(QRectF(badge.x() + badgePadding, badge.y() + badgePadding,
                                  badgeSymbolSize, badgeSymbolSize),
                           arrow, QRectF(arrow.rect()));
    }
    return canvas;
}

} // namespace InspectorWidgets
