#include "services/RecordRule.h"

#include "base/PathUtils.h"
#include "platform/FileSystemIdentity.h"
#include "platform/System.h"

#include <QStringList>
#include <optional>

namespace RecordRule {

namespace {

const QString applicationsName = QStringLiteral("Applications");
const QString supportName = QStringLiteral("Application Support");
// Stands for whatever a target receives when it is judged before anything is there.
const QString probeName = QStringLiteral("Probe.app");

// An absolute path with at least one component and no "." or ".." component.
bool isPlainAbsolute(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    const QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return !components.isEmpty() && !components.contains(QLatin1String(".")) &&
           !components.contains(QLatin1String(".."));
}

bool namesApplication(const QString &path)
{
    const QString name = PathUtils::lastComponent(path);
    return name.size() > 4 && name.endsWith(QLatin1String(".app"), Qt::CaseInsensitive);
}

// The nearest existing item at or above `path` is a link whose destination is gone: where
// it leads cannot be judged, and it may lead anywhere once something appears there.
bool passesBrokenLink(const QString &path)
{
    for (QString current = path; !current.isEmpty() && current != QLatin1String("/");
         current = PathUtils::parentPath(current)) {
        if (PathUtils::existsNoFollow(current))
            return !PathUtils::existsFollowingLinks(current);
    }
    return false;
}

// Where a place on the Mac really is: the folders above resolved, the item not followed.
QString macPlace(const QString &path)
{
    const QString cleaned = PathUtils::standardized(path);
    return PathUtils::join(PathUtils::resolved(PathUtils::parentPath(cleaned)),
                           PathUtils::lastComponent(cleaned));
}

QString realRoot(const QString &root)
{
    return root.isEmpty() ? QString() : PathUtils::resolved(root);
}

bool strictlyInside(const QString &path, const QString &root)
{
    return !root.isEmpty() && path != root && PathUtils::isSameOrInside(path, root);
}

QString quoted(const QString &text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

// "the <what> '<path>'", with where it really leads when a link takes it elsewhere.
QString named(const QString &what, const QString &path, const QString &real)
{
    QString text = QStringLiteral("the ") + what + QLatin1Char(' ') + quoted(path);
    if (real != PathUtils::standardized(path))
        text += QStringLiteral(" (a link leads it to ") + quoted(real) + QLatin1Char(')');
    return text;
}

std::optional<QString> checkApplication(const QString &path, const SystemPaths &paths)
{
    const QString what = QStringLiteral("application path");
    if (!namesApplication(path))
        return QStringLiteral("the ") + what + QLatin1Char(' ') + quoted(path) +
               QStringLiteral(" does not name an application (\".app\")");
    const QString cleaned = PathUtils::standardized(path);
    if (passesBrokenLink(PathUtils::parentPath(cleaned)))
        return QStringLiteral("the ") + what + QLatin1Char(' ') + quoted(path) +
               QStringLiteral(" passes through a broken link");
    const QString real = macPlace(path);
    for (const QString &root : paths.applicationFolders()) {
        if (strictlyInside(real, realRoot(root)))
            return std::nullopt;
    }
    return named(what, path, real) + QStringLiteral(" lies outside ") + quoted(paths.applications) +
           QStringLiteral(" and ") + quoted(paths.userApplications);
}

std::optional<QString> checkSupportSource(const QString &path, const SystemPaths &paths)
{
    const QString what = QStringLiteral("support folder");
    const QString cleaned = PathUtils::standardized(path);
    if (passesBrokenLink(PathUtils::parentPath(cleaned)))
        return QStringLiteral("the ") + what + QLatin1Char(' ') + quoted(path) +
               QStringLiteral(" passes through a broken link");
    const QString real = macPlace(path);
    for (const QString &root : paths.supportRoots()) {
        const QString folder = realRoot(root);
        if (!folder.isEmpty() && PathUtils::parentPath(real) == folder)
            return std::nullopt;
    }
    return named(what, path, real) + QStringLiteral(" is not directly inside ") +
           quoted(paths.userSupport) + QStringLiteral(" or ") + quoted(paths.systemSupport);
}

// Inside a folder named "Applications" or "Application Support" on a drive: below the
// volumes root, past the drive's own folder, with the item itself inside that folder. `real`
// is where the cleaned path really leads.
bool isOnDriveFolder(const QString &real, const SystemPaths &paths)
{
    const QString volumes = realRoot(paths.volumesRoot);
    if (!strictlyInside(real, volumes) || volumes == QLatin1String("/"))
        return false;
    const QStringList below = real.mid(volumes.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // The drive's name comes first; the folder must hold the item, not be it.
    for (qsizetype i = 1; i + 1 < below.size(); ++i) {
        if (below.at(i) == applicationsName || below.at(i) == supportName)
            return true;
    }
    return false;
}

std::optional<QString> checkDriveCopy(const QString &what, const QString &path, bool application,
                                      const SystemPaths &paths)
{
    if (application && !namesApplication(path))
        return QStringLiteral("the ") + what + QLatin1Char(' ') + quoted(path) +
               QStringLiteral(" does not name an application (\".app\")");
    const QString cleaned = PathUtils::standardized(path);
    if (passesBrokenLink(cleaned))
        return QStringLiteral("the ") + what + QLatin1Char(' ') + quoted(path) +
               QStringLiteral(" passes through a broken link");
    const QString real = PathUtils::resolved(cleaned);
    if (isOnDriveFolder(real, paths))
        return std::nullopt;
    return named(what, path, real) +
           QStringLiteral(" lies outside a drive's \"Applications\" and \"Application Support\" "
                          "folders in ") +
           quoted(paths.volumesRoot);
}

std::optional<QString> firstBreach(const MigrationRecord &record)
{
    QStringList all{record.appOriginalPath};
    if (record.appTargetPath)
        all.append(*record.appTargetPath);
    for (const SupportFolderRecord &folder : record.supportFolders)
        all << folder.source << folder.target;
    for (const QString &path : std::as_const(all)) {
        if (!isPlainAbsolute(path))
            return QStringLiteral("the path ") + quoted(path) +
                   QStringLiteral(" is not an absolute path free of '.' and '..' components");
    }

    const SystemPaths paths = System::current().paths();
    if (auto breach = checkApplication(record.appOriginalPath, paths))
        return breach;
    if (record.appTargetPath) {
        if (auto breach =
                checkDriveCopy(QStringLiteral("drive copy"), *record.appTargetPath, true, paths))
            return breach;
    }
    for (const SupportFolderRecord &folder : record.supportFolders) {
        if (auto breach = checkSupportSource(folder.source, paths))
            return breach;
        if (auto breach =
                checkDriveCopy(QStringLiteral("support folder copy"), folder.target, false, paths))
            return breach;
    }
    return std::nullopt;
}

} // namespace

Verdict check(const MigrationRecord &record)
{
    if (const std::optional<QString> breach = firstBreach(record))
        return Verdict::fail(*breach);
    return Verdict::pass();
}

Verdict checkDrivePlace(const QString &path)
{
    if (!isPlainAbsolute(PathUtils::standardized(path)))
        return Verdict::fail(QStringLiteral("the path ") + quoted(path) +
                             QStringLiteral(" is not absolute"));
    const SystemPaths paths = System::current().paths();
    if (isOnDriveFolder(PathUtils::standardized(path), paths))
        return Verdict::pass();
    return Verdict::fail(QStringLiteral("it lies at ") + quoted(path) +
                         QStringLiteral(", outside a drive's \"Applications\" and \"Application "
                                        "Support\" folders in ") +
                         quoted(paths.volumesRoot));
}

OperationError refusal(const QString &domain, const MigrationRecord &record, const QString &reason)
{
    return OperationError(domain, refusalCode,
                          QStringLiteral("Invalid migration record for '") + record.appName +
                              QStringLiteral("': ") + reason + QLatin1Char('.'));
}

Verdict checkOnTargetFileSystem(const QString &what, const QString &item, const QString &target,
                                quint64 store, bool followItem)
{
    const QString cleaned = PathUtils::standardized(item);
    const QString real = followItem ? PathUtils::resolved(cleaned) : macPlace(cleaned);
    // A place still to be made lies where the folder it is made in lies.
    std::optional<quint64> found = FileSystemIdentity::storeOf(real, followItem);
    for (QString above = real; !found && above.size() > 1 && above.startsWith(QLatin1Char('/'));) {
        above = PathUtils::parentPath(above);
        found = FileSystemIdentity::storeOf(above);
    }
    if (found == store)
        return Verdict::pass();
    return Verdict::fail(named(what, item, real) +
                         QStringLiteral(" lies on another file system than ") +
                         quoted(PathUtils::standardized(target)) +
                         QStringLiteral(", which the drive's flush and read-back do not reach"));
}

Verdict checkTargetFolder(const QString &target, const QString &folder,
                          std::optional<quint64> store)
{
    const QString cleaned = PathUtils::standardized(target);
    const QString place = PathUtils::standardized(folder);
    if (!isPlainAbsolute(cleaned) || !strictlyInside(place, cleaned))
        return Verdict::fail(QStringLiteral("the folder ") + quoted(folder) +
                             QStringLiteral(" does not lie inside ") + quoted(target));
    const SystemPaths paths = System::current().paths();
    const QString what = QStringLiteral("folder");
    // The target's own two folders stand for the target: when they lead off the drives, the
    // target does.
    const bool own = PathUtils::parentPath(place) == cleaned;
    if (passesBrokenLink(place))
        return Verdict::fail(QStringLiteral("the ") + what + QLatin1Char(' ') +
                             quoted(own ? cleaned : place) +
                             QStringLiteral(" passes through a broken link"));
    // Judged by what a folder would hold, so a link to it is judged as the restore will judge
    // the copies made through it.
    if (!isOnDriveFolder(PathUtils::join(PathUtils::resolved(place), probeName), paths)) {
        if (own)
            return Verdict::fail(named(what, cleaned, PathUtils::resolved(cleaned)) +
                                 QStringLiteral(" is not on a drive in ") +
                                 quoted(paths.volumesRoot) +
                                 QStringLiteral(", so nothing copied there could be restored"));
        return Verdict::fail(named(what, place, PathUtils::resolved(place)) +
                             QStringLiteral(" lies outside the \"Applications\" folder of a drive "
                                            "in ") +
                             quoted(paths.volumesRoot) +
                             QStringLiteral(", so nothing copied there could be restored"));
    }
    // The flush and the read-back reach the target's file system only.
    if (store)
        return checkOnTargetFileSystem(what, place, cleaned, *store);
    return Verdict::pass();
}

Verdict checkTarget(const QString &folder, const QStringList &subfolders)
{
    const QString cleaned = PathUtils::standardized(folder);
    if (!isPlainAbsolute(cleaned))
        return Verdict::fail(QStringLiteral("the folder ") + quoted(folder) +
                             QStringLiteral(" is not an absolute path"));
    // A target that is gone is refused by the proof of the drive before anything is written.
    const std::optional<quint64> store = FileSystemIdentity::storeOf(cleaned);
    const QString applications = PathUtils::join(cleaned, applicationsName);
    for (const QString &place : {applications, PathUtils::join(cleaned, supportName)}) {
        if (const Verdict verdict = checkTargetFolder(cleaned, place, store); !verdict.ok)
            return verdict;
    }

    // A transfer makes or enters each level of an application's subfolder path, and a link
    // there takes its copy wherever it leads.
    QStringList judged;
    for (const QString &subfolder : subfolders) {
        const QString deepest = PathUtils::standardized(PathUtils::join(applications, subfolder));
        if (deepest == applications)
            continue;
        if (!strictlyInside(deepest, applications))
            return Verdict::fail(QStringLiteral("the folder ") +
                                 quoted(PathUtils::join(applications, subfolder)) +
                                 QStringLiteral(" does not lie inside ") + quoted(applications));
        QString place = applications;
        for (const QString &part :
             deepest.mid(applications.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            place = PathUtils::join(place, part);
            if (judged.contains(place))
                continue;
            judged.append(place);
            if (const Verdict verdict = checkTargetFolder(cleaned, place, store); !verdict.ok)
                return verdict;
        }
    }
    return Verdict::pass();
}

void enforce(const QString &domain, const MigrationRecord &record)
{
    const Verdict verdict = check(record);
    if (!verdict.ok)
        throw refusal(domain, record, verdict.reason.value_or(QString()));
}

} // namespace RecordRule
