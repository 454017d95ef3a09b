#include "views/kit/Symbols.h"

#include <QApplication>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QStandardPaths>
#include <QStyle>

namespace Symbols {
namespace {

enum class Emblem { None, Check, Cross, Question, Plus, Gear, Exclamation, Arrow };

struct Mapping
{
    const char *theme;
    QStyle::StandardPixmap fallback;
    Emblem emblem;
};

const QHash<QString, Mapping> &mappings()
{
    static const QHash<QString, Mapping> table = {
        {QStringLiteral("externaldrive"),
         {"drive-harddisk-symbolic", QStyle::SP_DriveHDIcon, Emblem::None}},
        {QStringLiteral("externaldrive.fill"),
         {"drive-harddisk-symbolic", QStyle::SP_DriveHDIcon, Emblem::None}},
        {QStringLiteral("externaldrive.badge.checkmark"),
         {"drive-harddisk-symbolic", QStyle::SP_DriveHDIcon, Emblem::Check}},
        {QStringLiteral("externaldrive.badge.questionmark"),
         {"drive-harddisk-symbolic", QStyle::SP_DriveHDIcon, Emblem::Question}},
        {QStringLiteral("externaldrive.badge.plus"),
         {"drive-harddisk-symbolic", QStyle::SP_DriveHDIcon, Emblem::Plus}},
        {QStringLiteral("externaldrive.connected.to.line.below"),
         {"drive-removable-media-symbolic", QStyle::SP_DriveHDIcon, Emblem::None}},
        {QStringLiteral("laptopcomputer"),
         {"computer-symbolic", QStyle::SP_ComputerIcon, Emblem::None}},
        {QStringLiteral("checkmark"),
         {"object-select-symbolic", QStyle::SP_DialogApplyButton, Emblem::None}},
        {QStringLiteral("checkmark.circle.fill"),
         {"emblem-ok-symbolic", QStyle::SP_DialogApplyButton, Emblem::None}},
        {QStringLiteral("checkmark.seal.fill"),
         {"emblem-ok-symbolic", QStyle::SP_DialogApplyButton, Emblem::None}},
        {QStringLiteral("circle"), {"radio-symbolic", QStyle::SP_DialogNoButton, Emblem::None}},
        {QStringLiteral("xmark.circle.fill"),
         {"window-close-symbolic", QStyle::SP_DialogCloseButton, Emblem::None}},
        {QStringLiteral("exclamationmark.triangle.fill"),
         {"dialog-warning-symbolic", QStyle::SP_MessageBoxWarning, Emblem::None}},
        {QStringLiteral("exclamationmark.arrow.triangle.2.circlepath"),
         {"emblem-synchronizing-symbolic", QStyle::SP_BrowserReload, Emblem::Exclamation}},
        {QStringLiteral("questionmark.circle"),
         {"help-browser-symbolic", QStyle::SP_MessageBoxQuestion, Emblem::None}},
        {QStringLiteral("questionmark.circle.fill"),
         {"help-browser-symbolic", QStyle::SP_MessageBoxQuestion, Emblem::None}},
        {QStringLiteral("trash"), {"user-trash-symbolic", QStyle::SP_TrashIcon, Emblem::None}},
        {QStringLiteral("trash.circle.fill"),
         {"user-trash-full-symbolic", QStyle::SP_TrashIcon, Emblem::None}},
        {QStringLiteral("arrow.clockwise"),
         {"view-refresh-symbolic", QStyle::SP_BrowserReload, Emblem::None}},
        {QStringLiteral("arrow.clockwise.circle.fill"),
         {"view-refresh-symbolic", QStyle::SP_BrowserReload, Emblem::None}},
        {QStringLiteral("arrow.triangle.2.circlepath"),
         {"emblem-synchronizing-symbolic", QStyle::SP_BrowserReload, Emblem::None}},
        {QStringLiteral("arrow.triangle.2.circlepath.circle.fill"),
         {"emblem-synchronizing-symbolic", QStyle::SP_BrowserReload, Emblem::None}},
        {QStringLiteral("arrow.right"), {"go-next-symbolic", QStyle::SP_ArrowRight, Emblem::None}},
        {QStringLiteral("arrow.right.circle.fill"),
         {"go-next-symbolic", QStyle::SP_ArrowRight, Emblem::None}},
        {QStringLiteral("arrow.turn.up.right"),
         {"go-jump-symbolic", QStyle::SP_ArrowForward, Emblem::None}},
        {QStringLiteral("arrow.uturn.backward.circle.fill"),
         {"document-revert-symbolic", QStyle::SP_ArrowBack, Emblem::None}},
        {QStringLiteral("arrow.up.arrow.down"),
         {"view-sort-ascending-symbolic", QStyle::SP_ArrowUp, Emblem::None}},
        {QStringLiteral("chevron.up.chevron.down"),
         {"pan-down-symbolic", QStyle::SP_ArrowDown, Emblem::None}},
        {QStringLiteral("sparkles.tv"), {"starred-symbolic", QStyle::SP_DesktopIcon, Emblem::None}},
        {QStringLiteral("folder.fill"), {"folder-symbolic", QStyle::SP_DirIcon, Emblem::None}},
        {QStringLiteral("folder"), {"folder-symbolic", QStyle::SP_DirIcon, Emblem::None}},
        {QStringLiteral("link"), {"insert-link-symbolic", QStyle::SP_FileLinkIcon, Emblem::None}},
        {QStringLiteral("sparkles"), {"starred-symbolic", QStyle::SP_DesktopIcon, Emblem::None}},
        {QStringLiteral("folder.badge.gearshape"),
         {"folder-symbolic", QStyle::SP_DirIcon, Emblem::Gear}},
        {QStringLiteral("folder.badge.plus"),
         {"folder-new-symbolic", QStyle::SP_FileDialogNewFolder, Emblem::None}},
        {QStringLiteral("doc.on.doc.fill"),
         {"edit-copy-symbolic", QStyle::SP_FileIcon, Emblem::None}},
        {QStringLiteral("doc.text.magnifyingglass"),
         {"system-search-symbolic", QStyle::SP_FileDialogContentsView, Emblem::None}},
        {QStringLiteral("magnifyingglass"),
         {"system-search-symbolic", QStyle::SP_FileDialogContentsView, Emblem::None}},
        {QStringLiteral("link.badge.plus"),
         {"insert-link-symbolic", QStyle::SP_FileLinkIcon, Emblem::Plus}},
        {QStringLiteral("clock.arrow.circlepath"),
         {"document-open-recent-symbolic", QStyle::SP_BrowserReload, Emblem::None}},
        {QStringLiteral("shield.fill"),
         {"security-high-symbolic", QStyle::SP_VistaShield, Emblem::None}},
        {QStringLiteral("lock.shield.fill"),
         {"security-high-symbolic", QStyle::SP_VistaShield, Emblem::None}},
        {QStringLiteral("ellipsis.circle"),
         {"view-more-horizontal-symbolic", QStyle::SP_TitleBarMenuButton, Emblem::None}},
        {QStringLiteral("eject.fill"),
         {"media-eject-symbolic", QStyle::SP_MediaStop, Emblem::None}},
        {QStringLiteral("eject.circle.fill"),
         {"media-eject-symbolic", QStyle::SP_MediaStop, Emblem::None}},
        {QStringLiteral("square.grid.2x2"),
         {"view-app-grid-symbolic", QStyle::SP_FileDialogListView, Emblem::None}},
        {QStringLiteral("square.stack.3d.up.fill"),
         {"view-paged-symbolic", QStyle::SP_FileDialogListView, Emblem::None}},
        {QStringLiteral("square.on.square.badge.person.crop.fill"),
         {"edit-copy-symbolic", QStyle::SP_FileIcon, Emblem::Exclamation}},
        {QStringLiteral("list.bullet.rectangle.portrait"),
         {"view-list-bullet-symbolic", QStyle::SP_FileDialogDetailedView, Emblem::None}},
        {QStringLiteral("line.3.horizontal.decrease.circle"),
         {"view-list-symbolic", QStyle::SP_FileDialogDetailedView, Emblem::None}},
        {QStringLiteral("keyboard"),
         {"input-keyboard-symbolic", QStyle::SP_ComputerIcon, Emblem::None}},
    };
    return table;
}

void ensureTheme()
{
    // Without a desktop platform theme (offscreen, a bare X server) Qt knows no icon folders.
    static const bool once = [] {
        QStringList paths = QIcon::themeSearchPaths();
        const QStringList dataDirs =
            QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
        for (const QString &dir : dataDirs) {
            const QString icons = dir + QStringLiteral("/icons");
            if (!paths.contains(icons))
                paths.append(icons);
        }
        QIcon::setThemeSearchPaths(paths);
        if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
            QIcon::setThemeName(QStringLiteral("Adwaita"));
        return true;
    }();
    Q_UNUSED(once);
}

void drawEmblem(QPainter &painter, Emblem emblem, int size, const QColor &color)
{
    if (emblem == Emblem::None)
        return;
    const qreal d = size * 0.5;
    const QRectF badge(size - d, size - d, d, d);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color.isValid() ? color : QColor(Qt::darkGray));
    painter.drawEllipse(badge);
    QPen pen(Qt::white, qMax(1.0, d / 7.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QRectF in = badge.adjusted(d * 0.28, d * 0.28, -d * 0.28, -d * 0.28);
    switch (emblem) {
    case Emblem::Check: {
        QPainterPath path;
        path.moveTo(in.left(), in.center().y());
        path.lineTo(in.left() + in.width() * 0.4, in.bottom());
        path.lineTo(in.right(), in.top());
        painter.drawPath(path);
        break;
    }
    case Emblem::Cross:
        painter.drawLine(in.topLeft(), in.bottomRight());
        painter.drawLine(in.topRight(), in.bottomLeft());
        break;
    case Emblem::Plus:
        painter.drawLine(QPointF(in.center().x(), in.top()), QPointF(in.center().x(), in.bottom()));
        painter.drawLine(QPointF(in.left(), in.center().y()), QPointF(in.right(), in.center().y()));
        break;
    case Emblem::Question:
    case Emblem::Exclamation:
    case Emblem::Gear:
    case Emblem::Arrow: {
        QFont font;
        font.setBold(true);
        font.setPixelSize(int(d * 0.8));
        painter.setFont(font);
        const QString mark = emblem == Emblem::Question      ? QStringLiteral("?")
                             : emblem == Emblem::Exclamation ? QStringLiteral("!")
                             : emblem == Emblem::Gear        ? QStringLiteral("⚙")
                                                             : QStringLiteral("→");
        painter.drawText(badge, Qt::AlignCenter, mark);
        break;
    }
    case Emblem::None:
        break;
    }
}

QPixmap tinted(const QPixmap &source, const QColor &tint)
{
    if (!tint.isValid() || source.isNull())
        return source;
    QPixmap result(source.size());
    result.setDevicePixelRatio(source.devicePixelRatio());
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.drawPixmap(0, 0, source);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(result.rect(), tint);
    return result;
}

} // namespace

QString themeName(const QString &symbolName)
{
    const auto it = mappings().constFind(symbolName);
    return it == mappings().cend() ? QString() : QString::fromLatin1(it->theme);
}

QPixmap pixmap(const QString &symbolName, int size, const QColor &tint)
{
    ensureTheme();
    const auto it = mappings().constFind(symbolName);
    const Mapping mapping =
        it == mappings().cend() ? Mapping{"", QStyle::SP_FileIcon, Emblem::None} : *it;
    QIcon base = QIcon::fromTheme(QString::fromLatin1(mapping.theme));
    if (base.isNull())
        base = QApplication::style()->standardIcon(mapping.fallback);
    QPixmap result = tinted(base.pixmap(size, size), tint);
    if (mapping.emblem != Emblem::None) {
        QPainter painter(&result);
        drawEmblem(painter, mapping.emblem, size, tint);
    }
    return result;
}

QIcon icon(const QString &symbolName, const QColor &tint)
{
    QIcon result;
    for (const int size : {16, 24, 32, 48})
        result.addPixmap(pixmap(symbolName, size, tint));
    return result;
}

} // namespace Symbols
