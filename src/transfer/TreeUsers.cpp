#include "transfer/TreeUsers.h"

#include "base/PathUtils.h"
#include "platform/System.h"

#include <QSet>
#include <algorithm>

namespace {

// More would make the message unreadable; the rest are counted.
constexpr qsizetype namedUses = 3;

QString quoted(const QString &text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

} // namespace

TreeUsers TreeUsers::of(const QStringList &paths, const QStringList &shownAs)
{
    TreeUsers users;
    QStringList roots;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString resolved = PathUtils::resolved(paths.at(i));
        users.m_trees.append({shownAs.value(i, paths.at(i)), resolved});
        roots.append(resolved);
    }
    const std::optional<QList<FileUse>> uses = System::current().ejectTools().usersWithin(roots);
    if (!uses)
        users.m_unknown = QStringLiteral("it could not be told whether a process is still using ") +
                          quoted(shownAs.isEmpty() ? paths.join(QStringLiteral("', '"))
                                                   : shownAs.join(QStringLiteral("', '")));
    else
        users.m_uses = *uses;
    return users;
}

TreeUsers TreeUsers::within(const QString &path) const
{
    TreeUsers users;
    users.m_unknown = m_unknown;
    for (const Tree &tree : m_trees) {
        if (tree.path != path)
            continue;
        users.m_trees.append(tree);
        for (const FileUse &use : m_uses) {
            if (liesWithin(use.file, {tree.resolved}))
                users.m_uses.append(use);
        }
    }
    return users;
}

bool TreeUsers::anyRuns() const
{
    return std::any_of(m_uses.cbegin(), m_uses.cend(),
                       [](const FileUse &use) { return use.kind == FileUse::Kind::runs; });
}

QString TreeUsers::told() const
{
    if (m_unknown)
        return *m_unknown;
    QStringList parts;
    for (const FileUse &use : m_uses.first(std::min(namedUses, m_uses.size()))) {
        QString file = use.file;
        QString tree;
        for (const Tree &candidate : m_trees) {
            if (liesWithin(use.file, {candidate.resolved})) {
                tree = candidate.path;
                file = use.file == candidate.resolved ? PathUtils::lastComponent(candidate.path)
                                                      : use.file.mid(candidate.resolved.size() + 1);
                break;
            }
        }
        const QString subject = quoted(use.process) + QStringLiteral(" (pid ") +
                                QString::number(use.pid) + QLatin1Char(')');
        const QString object =
            quoted(file) + (tree.isEmpty() || file == PathUtils::lastComponent(tree)
                                ? QString()
                                : QStringLiteral(" in ") + quoted(tree));
        switch (use.kind) {
        case FileUse::Kind::runs:
            parts.append(subject + QStringLiteral(" runs from ") + object);
            break;
        case FileUse::Kind::writes:
            parts.append(subject + QStringLiteral(" is writing to ") + object);
            break;
        case FileUse::Kind::maps:
            parts.append(subject + QStringLiteral(" has ") + object +
                         QStringLiteral(" mapped into its memory, where it can write to it"));
            break;
        }
    }
    QString text = parts.join(QStringLiteral(", and "));
    if (const qsizetype more = m_uses.size() - parts.size(); more > 0)
        text += QStringLiteral(", and ") + QString::number(more) +
                (more == 1 ? QStringLiteral(" more use") : QStringLiteral(" more uses"));
    return text;
}

QString TreeUsers::request() const
{
    if (m_unknown)
        return QStringLiteral("Try again in a moment.");
    QSet<qint32> processes;
    for (const FileUse &use : m_uses)
        processes.insert(use.pid);
    return processes.size() > 1 ? QStringLiteral("Quit them, then try again.")
                                : QStringLiteral("Quit it, then try again.");
}
