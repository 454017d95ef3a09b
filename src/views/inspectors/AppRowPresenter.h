#pragma once

#include "model/AppItem.h"
#include "views/kit/TextParts.h"

#include <QColor>
#include <QList>
#include <QString>
#include <optional>

// What a list row learns from the disk on each redraw; read() asks, tests fill it in.
struct AppRowFacts
{
    AppOffloadStatus status = AppOffloadStatus::local;
    bool isProxyBundle = false;
    std::optional<QString> topSubfolderName;
    bool driveCopyExists = false; // something exists at symlinkTarget

    [[nodiscard]] static AppRowFacts read(const AppItem &app);
};

// Everything one row of the application list shows.
struct AppRowModel
{
    struct Badge
    {
        QString text;
        QColor color;
        qreal fillOpacity = 0.12;
        int pixelSize = 9;
        bool bold = true; // medium weight otherwise
    };
    enum class DetailKind { versions, drive, path };

    bool showSelectionControl = false;
    QString selectionSymbol;
    QColor selectionColor;
    QString iconPath;
    bool showLinkBadge = false;
    QString name;
    QList<Badge> badges;
    DetailKind detailKind = DetailKind::path;
    QString detailText;
    // The detail text in parts when its meaning lies at both ends (the versions line).
    QList<TextPart> detailParts;
    QColor driveSymbolColor; // for the drive line
    Badge statusPill;
    QString sizeText;
    std::optional<QString> supportFolderCount;
    // The context menu's "Reveal on External Drive", when the copy is there.
    std::optional<QString> revealOnDrivePath;
};

class AppRowPresenter final
{
public:
    [[nodiscard]] static AppRowModel present(const AppItem &app, const AppRowFacts &facts,
                                             bool isSelected, bool hasToggle);
    // The pill of a status as the list writes it (shorter than some status labels).
    [[nodiscard]] static AppRowModel::Badge statusPill(AppOffloadStatus status);
};
