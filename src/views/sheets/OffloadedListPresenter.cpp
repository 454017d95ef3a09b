#include "views/sheets/OffloadedListPresenter.h"

#include "base/ByteCount.h"
#include "base/OperationError.h"
#include "views/kit/Palette.h"

#include <exception>

namespace {

OffloadedRow makeRow(const AppItem &app, bool isProxy)
{
    OffloadedRow row;
    row.item = app;
    row.path = app.id();
    row.isProxy = isProxy;
    row.kindText = isProxy ? QStringLiteral("PROXY") : QStringLiteral("ALIAS");
    row.kindColor = isProxy ? Palette::purple() : Palette::blue();
    row.kindOpacity = isProxy ? 0.18 : 0.15;
    if (!app.duplicateAliasPaths.isEmpty())
        // The item itself counts with its duplicates.
        row.aliasCountText =
            QString::number(app.duplicateAliasPaths.size() + 1) + QStringLiteral(" Aliases");
    row.storedOn = app.symlinkTarget;
    row.driveColor = isProxy ? Palette::purple() : Palette::green();
    row.sizeText = app.sizeFormatted();
    return row;
}

QString countSuffix(int count)
{
    return count >= 1 ? QStringLiteral(" (") + QString::number(count) + QLatin1Char(')')
                      : QString();
}

} // namespace

OffloadedListPresenter::OffloadedListPresenter(const QList<AppItem> &apps)
{
    for (const AppItem &app : apps) {
        if (app.isSymlink || app.isAlias) {
            m_rows.append(makeRow(app, app.isProxyBundle()));
        } else if (app.isProxyBundle()) {
            m_rows.append(makeRow(app, true));
        }
    }
}

bool OffloadedListPresenter::isListed(const AppItem &app)
{
    return app.isSymlink || app.isAlias || app.isProxyBundle();
}

QList<AppItem> OffloadedListPresenter::offloadedApps() const
{
    QList<AppItem> apps;
    for (const OffloadedRow &row : m_rows)
        apps.append(row.item);
    return apps;
}

QList<AppItem> OffloadedListPresenter::selectedOffloadedApps(const QSet<QString> &selection) const
{
    QList<AppItem> apps;
    for (const OffloadedRow &row : m_rows) {
        if (selection.contains(row.path))
            apps.append(row.item);
    }
    return apps;
}

qint64 OffloadedListPresenter::selectedOffloadedSize(const QSet<QString> &selection) const
{
    qint64 total = 0;
    for (const AppItem &app : selectedOffloadedApps(selection))
        total += app.totalSelectedSize();
    return total;
}

OffloadedHeader OffloadedListPresenter::header(const QSet<QString> &selection) const
{
    const int listed = int(m_rows.size());
    const int selected = int(selection.size());
    OffloadedHeader header;
    header.countText =
        QString::number(listed) + QStringLiteral(" offloaded apps on external drives");
    header.showsButtons = listed > 0;
    header.selectAllText =
        selected == listed ? QStringLiteral("Deselect All") : QStringLiteral("Select All");
    header.restoreSelectedText = QStringLiteral("Restore Selected") + countSuffix(selected);
    header.restoreSelectedEnabled = selected > 0;
    header.makeVisibleText =
        selected >= 1 ? QStringLiteral("Make Visible in Apps.app") + countSuffix(selected)
                      : QStringLiteral("Make All Visible in Apps.app");
    header.showsSelectionBar = selected >= 1;
    header.selectionText = QString::number(selected) + QStringLiteral(" of ") +
                           QString::number(listed) + QStringLiteral(" apps selected (") +
                           formatFileSize(selectedOffloadedSize(selection)) + QLatin1Char(')');
    header.showsEmptyState = listed == 0;
    return header;
}

QSet<QString> OffloadedListPresenter::selectAllOrNone(const QSet<QString> &selection) const
{
    if (selection.size() == m_rows.size())
        return {};
    QSet<QString> all;
    for (const OffloadedRow &row : m_rows)
        all.insert(row.path);
    return all;
}

QSet<QString> OffloadedListPresenter::toggled(QSet<QString> selection, const QString &path)
{
    if (!selection.remove(path))
        selection.insert(path);
    return selection;
}

QList<AppItem> OffloadedListPresenter::makeVisibleTargets(const QSet<QString> &selection) const
{
    const QList<AppItem> selected = selectedOffloadedApps(selection);
    return selected.isEmpty() ? offloadedApps() : selected;
}

ProxyRunOutcome
OffloadedListPresenter::promoteAll(const QList<AppItem> &targets,
                                   const std::function<void(const AppItem &)> &promote)
{
    ProxyRunOutcome outcome;
    for (const AppItem &target : targets) {
        if (target.isProtected)
            continue;
        try {
            promote(target);
            ++outcome.created;
        } catch (const OperationError &error) {
            outcome.failures.append(target.name + QStringLiteral(" (") + error.message() +
                                    QLatin1Char(')'));
        } catch (const std::exception &error) {
            outcome.failures.append(target.name + QStringLiteral(" (") +
                                    QString::fromUtf8(error.what()) + QLatin1Char(')'));
        }
    }
    return outcome;
}

QString OffloadedListPresenter::notice(const ProxyRunOutcome &outcome)
{
    if (outcome.failures.isEmpty())
        return QStringLiteral("Successfully created ") + QString::number(outcome.created) +
               QStringLiteral(" app proxy bundles in /Applications! They are now visible in macOS "
                              "Apps.app launcher.");
    return QStringLiteral("Created ") + QString::number(outcome.created) +
           QStringLiteral(" proxies. (") + QString::number(outcome.failures.size()) +
           QStringLiteral(" failed: ") + outcome.failures.join(QStringLiteral(", ")) +
           QLatin1Char(')');
}
