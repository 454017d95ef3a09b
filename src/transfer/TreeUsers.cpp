#include "transfer/TreeUsers.h"

#include "base/PathUtils.h"
#include "platform/System.h"

#include <QSet>
#include <algorithm>

namespace {

// More would make the message unreadable; the rest are counted.
constexpr qsizetype namedUses = 3;
constexpr qsizetype shownUninspected = 2;

QString quoted(const QString &text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

// "'A'", "'A' or 'B'", "'A', 'B' or 'C'".
QString eitherOf(const QStringList &texts)
{
    QStringList shown;
    for (const QString &text : texts)
        shown.append(quoted(text));
    if (shown.size() < 2)
        return shown.join(QString());
    const QString last = shown.takeLast();
    return shown.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

} // namespace

TreeUsers TreeUsers::of(const QStringList &paths, const QStringList &shownAs)
{
    TreeUsers users;
    if (paths.isEmpty())
        return users;
    QStringList shown;
    QList<TreeItems> trees;
    TreeItems all;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString resolved = PathUtils::resolved(paths.at(i));
        users.m_trees.append({shownAs.value(i, paths.at(i)), resolved});
        shown.append(users.m_trees.last().path);
        trees.append(treeItemsOf({resolved}));
        const TreeItems &items = trees.last();
        if (!items.unlisted.isEmpty() && !users.m_unknown) {
            // What lies in it is not known, so neither is who holds it.
            const QString folder = items.unlisted == resolved
                                       ? QStringLiteral("it")
                                       : quoted(items.unlisted.mid(resolved.size() + 1));
            users.m_unknown = QStringLiteral("it could not be told whether a process is still "
                                             "using ") +
                              quoted(users.m_trees.last().path) + QStringLiteral(": ") + folder +
                              QStringLiteral(" could not be read");
        }
        for (auto it = items.paths.cbegin(); it != items.paths.cend(); ++it) {
            if (!all.paths.contains(it.key()))
                all.paths.insert(it.key(), it.value());
        }
    }
    if (users.m_unknown)
        return users;
    const std::optional<FileUsers> found = System::current().ejectTools().usersOf(all);
    if (!found) {
        users.m_unknown = QStringLiteral("it could not be told whether a process is still using ") +
                          quoted(shown.join(QStringLiteral("', '")));
        return users;
    }
    users.m_uninspected = found->uninspected;
    if (found->uses.isEmpty())
        return users;
    QHash<QString, FileIdentity> identities;
    for (auto it = all.paths.cbegin(); it != all.paths.cend(); ++it)
        identities.insert(it.value(), it.key());
    for (const FileUse &use : found->uses) {
        // A file that lies in several trees (a hard link in each) is used in each of them.
        const auto identity = identities.constFind(use.file);
        bool told = false;
        for (qsizetype tree = 0; identity != identities.cend() && tree < trees.size(); ++tree) {
            const auto file = trees.at(tree).paths.constFind(*identity);
            if (file == trees.at(tree).paths.cend())
                continue;
            FileUse named = use;
            named.file = *file;
            users.m_uses.append({named, tree});
            told = true;
        }
        // A use named by a path the walk did not give still counts, in the tree that holds it.
        if (!told) {
            qsizetype tree = 0;
            while (tree + 1 < users.m_trees.size() &&
                   !PathUtils::isSameOrInside(use.file, users.m_trees.at(tree).resolved))
                ++tree;
            users.m_uses.append({use, tree});
        }
    }
    return users;
}

TreeUsers TreeUsers::within(const QString &path) const
{
    TreeUsers users;
    users.m_unknown = m_unknown;
    users.m_uninspected = m_uninspected;
    for (qsizetype tree = 0; tree < m_trees.size(); ++tree) {
        if (m_trees.at(tree).path != path)
            continue;
        users.m_trees.append(m_trees.at(tree));
        for (const Use &use : m_uses) {
            if (use.tree == tree)
                users.m_uses.append({use.use, users.m_trees.size() - 1});
        }
    }
    return users;
}

bool TreeUsers::anyRuns() const
{
    return std::any_of(m_uses.cbegin(), m_uses.cend(),
                       [](const Use &use) { return use.use.kind == FileUse::Kind::runs; });
}

QString TreeUsers::told() const
{
    if (m_unknown)
        return *m_unknown;
    QStringList parts;
    for (const Use &told : m_uses.first(std::min(namedUses, m_uses.size()))) {
        const FileUse &use = told.use;
        const Tree &tree = m_trees.at(told.tree);
        const bool isRoot = use.file == tree.resolved;
        const QString file = isRoot ? PathUtils::lastComponent(tree.path)
                             : PathUtils::isSameOrInside(use.file, tree.resolved)
                                 ? use.file.mid(tree.resolved.size() + 1)
                                 : use.file;
        const QString subject = quoted(use.process) + QStringLiteral(" (pid ") +
                                QString::number(use.pid) + QLatin1Char(')');
        const QString object =
            quoted(file) + (isRoot ? QString() : QStringLiteral(" in ") + quoted(tree.path));
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
        case FileUse::Kind::worksIn:
            parts.append(subject + QStringLiteral(" works in ") + object);
            break;
        }
    }
    QString text = parts.join(QStringLiteral(", and "));
    if (const qsizetype more = m_uses.size() - parts.size(); more > 0)
        text += QStringLiteral(", and ") + QString::number(more) +
                (more == 1 ? QStringLiteral(" more use") : QStringLiteral(" more uses"));
    if (!m_uninspected.isEmpty())
        text += (text.isEmpty() ? QString() : QStringLiteral(", and ")) +
                QStringLiteral("Korvanthelix was not allowed to look into ") +
                namedUninspected(!text.isEmpty());
    return text;
}

QString TreeUsers::request() const
{
    if (m_unknown)
        return QStringLiteral("Try again in a moment.");
    QSet<qint32> processes;
    for (const Use &use : m_uses)
        processes.insert(use.use.pid);
    return processes.size() > 1 ? QStringLiteral("Quit them, then try again.")
                                : QStringLiteral("Quit it, then try again.");
}

QString TreeUsers::uninspectedNote() const
{
    if (m_uninspected.isEmpty() || m_unknown)
        return {};
    QStringList trees;
    for (const Tree &tree : m_trees)
        trees.append(tree.path);
    return QStringLiteral("Korvanthelix was not allowed to look into ") + namedUninspected(false) +
           QStringLiteral(", so it cannot tell whether ") +
           (m_uninspected.size() == 1 ? QStringLiteral("it") : QStringLiteral("one of them")) +
           QStringLiteral(" was still writing to ") + eitherOf(trees) + QStringLiteral(" when ") +
           (trees.size() == 1 ? QStringLiteral("it was") : QStringLiteral("they were")) +
           QStringLiteral(" removed.");
}

QString TreeUsers::uninspectedNote(const QList<TreeUsers> &looks)
{
    TreeUsers all;
    for (const TreeUsers &look : looks) {
        if (look.m_uninspected.isEmpty() || look.m_unknown)
            continue;
        all.m_trees.append(look.m_trees);
        for (const UninspectedProcess &process : look.m_uninspected) {
            if (!all.m_uninspected.contains(process))
                all.m_uninspected.append(process);
        }
    }
    return all.uninspectedNote();
}

// "1 process ('cupsd')", "5 other processes ('cupsd', 'sshd' and 3 more)": the names they give
// themselves, each once.
QString TreeUsers::namedUninspected(bool others) const
{
    QStringList names;
    qsizetype named = 0;
    for (const UninspectedProcess &process : m_uninspected) {
        if (process.process.isEmpty())
            continue;
        if (!names.contains(process.process)) {
            if (names.size() == shownUninspected)
                continue;
            names.append(process.process);
        }
        ++named;
    }
    const qsizetype count = m_uninspected.size();
    QString text = QString::number(count) + (others ? QStringLiteral(" other") : QString()) +
                   (count == 1 ? QStringLiteral(" process") : QStringLiteral(" processes"));
    if (names.isEmpty())
        return text;
    QStringList shown;
    for (const QString &name : std::as_const(names))
        shown.append(quoted(name));
    const qsizetype more = count - named;
    if (more == 0 && shown.size() > 1) {
        const QString last = shown.takeLast();
        return text + QStringLiteral(" (") + shown.join(QStringLiteral(", ")) +
               QStringLiteral(" and ") + last + QLatin1Char(')');
    }
    return text + QStringLiteral(" (") + shown.join(QStringLiteral(", ")) +
           (more > 0 ? QStringLiteral(" and ") + QString::number(more) + QStringLiteral(" more")
                     : QString()) +
           QLatin1Char(')');
}
