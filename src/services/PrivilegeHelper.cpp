#include "services/PrivilegeHelper.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Quoting.h"
#include "platform/System.h"
#include "platform/TreeRemoval.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace {

enum ErrorCode { removeFailed = 1, linkFailed = 2, moveFailed = 3 };

// "rm -rf link/" would empty the folder the link points to, so commands never get one.
QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// The folder that would hold `path`; empty when the path has no folder part.
QString holdingFolder(const QString &path)
{
    return path.contains(QLatin1Char('/')) ? PathUtils::parentPath(path) : QString();
}

// `path` as written and with its folder's links resolved; the last component stays, since
// removing a link must not be judged by what it points to.
QStringList comparableForms(const QString &path)
{
    return {PathUtils::standardized(path),
            PathUtils::join(PathUtils::resolved(PathUtils::parentPath(path)),
                            PathUtils::lastComponent(path))};
}

// Why `path` must never be removed, if it must not. `path` has no trailing slash.
std::optional<QString> removalRefusal(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("the path is empty");
    if (!path.startsWith(QLatin1Char('/')))
        return QStringLiteral("the path is not absolute");
    const QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (components.contains(QLatin1String(".")) || components.contains(QLatin1String("..")))
        return QStringLiteral("the path contains \".\" or \"..\"");
    if (components.size() <= 1)
        return QStringLiteral("it is a top-level folder");

    const SystemPaths paths = System::current().paths();
    const QStringList forms = comparableForms(path);
    const QStringList roots = {paths.home,        paths.applications, paths.userApplications,
                               paths.volumesRoot, paths.userSupport,  paths.systemSupport,
                               paths.usersRoot,   paths.trash,        paths.temp};
    for (const QString &root : roots) {
        if (root.isEmpty())
            continue;
        for (const QString &rootForm : {PathUtils::standardized(root), PathUtils::resolved(root)}) {
            for (const QString &form : forms) {
                if (PathUtils::isSameOrInside(rootForm, form))
                    return QStringLiteral("it is or holds the system folder '%1'").arg(root);
            }
        }
    }
    if (!paths.volumesRoot.isEmpty()) {
        for (const QString &volumes :
             {PathUtils::standardized(paths.volumesRoot), PathUtils::resolved(paths.volumesRoot)}) {
            for (const QString &form : forms) {
                if (PathUtils::parentPath(form) == volumes)
                    return QStringLiteral("it is the root of a volume");
            }
        }
    }
    return std::nullopt;
}

// The outcome of an attempt with the program's own rights: done, or the errno it failed with
// (0 when it was not tried).
struct PlainAttempt
{
    bool done = false;
    int err = 0;
};

// Errors of the disk itself, which no administrator can cure: reported as they are, without a
// password prompt that could only fail in their place.
bool rightsCannotCure(int err)
{
    switch (err) {
    case EIO:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
    case ENXIO:
    case ENODEV:
        return true;
    default:
        return false;
    }
}

// Why the item `name` of `folder` stayed, in part or whole: `where` (below `folder`) kept it
// with the errno `err`.
OperationError keptByRemoval(const QString &folder, const QString &name, const QString &where,
                             int err)
{
    const QString item = PathUtils::join(folder, name);
    const QString stayed = where.isEmpty() ? item : PathUtils::join(folder, where);
    QString why;
    if (err == EXDEV)
        why = QStringLiteral("another file system is mounted ") +
              (stayed == item ? QStringLiteral("there")
                              : QStringLiteral("at '") + stayed + QLatin1Char('\'')) +
              QStringLiteral("; what it holds was left as it is.");
    else
        why = (stayed == item ? QString() : QLatin1Char('\'') + stayed + QStringLiteral("': ")) +
              QString::fromLocal8Bit(std::strerror(err));
    return OperationError::fileSystem(err, QStringLiteral("Could not remove '") + item +
                                               QStringLiteral("': ") + why);
}

// The administrator's "rm -rf" stays on its file system by comparing devices alone: a bind mount of
// the same drive is entered and emptied, and a file system mounted on the operand itself is
// emptied, where the program's own walk could not look (a folder it may not read). So the mount
// table is read first, and any mount at or below the item keeps the whole removal from running.
void requireNothingMountedIn(const QString &folder, const QString &name)
{
    const QString item = PathUtils::join(folder, name);
    const QStringList forms = {PathUtils::standardized(item),
                               PathUtils::join(PathUtils::resolved(folder), name)};
    const std::optional<QStringList> points = System::current().volumes().allMountPoints();
    if (!points)
        throw OperationError::fileSystem(
            EXDEV, QStringLiteral("Could not remove '") + item +
                       QStringLiteral("': the mount table could not be read to make sure that no "
                                      "other file system is mounted in it, so nothing was "
                                      "removed."));
    for (const QString &point : *points) {
        for (const QString &form : forms) {
            if (PathUtils::isSameOrInside(point, form))
                throw OperationError::fileSystem(
                    EXDEV, QStringLiteral("Could not remove '") + item +
                               QStringLiteral("': a file system is mounted at '") + point +
                               QStringLiteral("', which a removal with administrator rights would "
                                              "enter, so nothing was removed."));
        }
    }
}

// A refusal (EPERM) that comes of a flag on the item that stayed, or on the folder holding it,
// which no administrator's removal passes either: told as what it is, and nobody is asked.
void requireNoRemovalLock(const QString &folder, const QString &name, const QString &where)
{
    const QString item = PathUtils::join(folder, name);
    const QString stayed = where.isEmpty() ? item : PathUtils::join(folder, where);
    FileResources &resources = System::current().fileResources();
    for (const QString &path : {stayed, PathUtils::parentPath(stayed)}) {
        if (!PathUtils::isSameOrInside(path, item) && path != folder)
            continue;
        if (const std::optional<QString> lock = resources.removalLock(path))
            throw OperationError::fileSystem(
                EPERM, QStringLiteral("Could not remove '") + item + QStringLiteral("': '") + path +
                           QStringLiteral("' is ") + *lock +
                           QStringLiteral(", which keeps anyone from removing it until that flag "
                                          "is cleared."));
    }
}

OperationError diskError(const QString &what, const QString &path, int err)
{
    return OperationError::fileSystem(err, what + QStringLiteral(" '") + path +
                                               QStringLiteral("': ") +
                                               QString::fromLocal8Bit(std::strerror(err)));
}

// Why `folder` is not writable when no rights would make it so: its file system is mounted
// read-only (as a drive is after some I/O errors). 0 otherwise.
int readOnlyFileSystem(const QString &folder)
{
    struct statvfs info
    {};
    if (::statvfs(QFile::encodeName(folder).constData(), &info) == 0 &&
        (info.f_flag & ST_RDONLY) != 0)
        return EROFS;
    return 0;
}

// The removal with the program's own rights. Unlinking needs write access to the holding
// folder; asking first also lets a test deny it where the process runs as root. `where` names
// the item that stayed, below that folder.
PlainAttempt removePlainly(const QString &path, QString *where)
{
    if (!PrivilegeHelper::isWritable(PathUtils::parentPath(path)))
        return {false, readOnlyFileSystem(PathUtils::parentPath(path))};
    // A link at the top goes itself, never the tree it points to; a mount in the tree stays.
    const int err = TreeRemoval::removeAt(path, where);
    return {err == 0, err};
}

// The move with the program's own rights: a rename that never replaces an existing item.
PlainAttempt movePlainly(const QString &source, const QString &destination)
{
    for (const QString &folder :
         {PathUtils::parentPath(source), PathUtils::parentPath(destination)}) {
        if (!PrivilegeHelper::isWritable(folder))
            return {false, readOnlyFileSystem(folder)};
    }
    if (PathUtils::existsNoFollow(destination))
        return {};
    if (::rename(QFile::encodeName(source).constData(),
                 QFile::encodeName(destination).constData()) == 0)
        return {true, 0};
    return {false, errno};
}

// The platform's removal of a tree that stays on its file system, ready for its operand.
QString treeRemoval()
{
    return System::current().treeRemovalCommand() + QLatin1Char(' ');
}

void removeDanglingLink(const QString &path)
{
    if (PathUtils::isSymlink(path) && !PathUtils::existsFollowingLinks(path))
        ::unlink(QFile::encodeName(path).constData());
}

} // namespace

const QString PrivilegeHelper::errorDomain = QStringLiteral("PrivilegeHelper");

PrivilegeHelper::CommandResult PrivilegeHelper::runPrivilegedCommand(const QString &command)
{
    return System::current().adminShell().run(command);
}

QString PrivilegeHelper::shellQuote(const QString &text)
{
    return Quoting::shellQuote(text);
}

QString PrivilegeHelper::appleScriptEscape(const QString &text)
{
    return Quoting::appleScriptEscape(text);
}

void PrivilegeHelper::safeRemove(const QString &path)
{
    const QString target = withoutTrailingSlashes(path);
    if (const std::optional<QString> refusal = removalRefusal(target)) {
        throw OperationError(errorDomain, removeFailed,
                             QStringLiteral("Refusing to remove '") + path + QStringLiteral("': ") +
                                 *refusal);
    }
    if (!PathUtils::existsFollowingLinks(target))
        return;
    QString stayed;
    const PlainAttempt plain = removePlainly(target, &stayed);
    if (plain.done)
        return;
    const QString folder = PathUtils::parentPath(target);
    const QString name = PathUtils::lastComponent(target);
    if (plain.err != 0 && !isPermissionRefusal(plain.err))
        throw keptByRemoval(folder, name, stayed, plain.err);
    if (plain.err == EPERM)
        requireNoRemovalLock(folder, name, stayed);
    requireNothingMountedIn(folder, name);
    const CommandResult result = runPrivilegedCommand(treeRemoval() + shellQuote(target));
    if (result.success)
        return;
    throw OperationError(errorDomain, removeFailed,
                         QStringLiteral("Failed to remove '") + path +
                             QStringLiteral("' with admin privileges: ") + result.output);
}

void PrivilegeHelper::safeMove(const QString &source, const QString &destination)
{
    const QString from = withoutTrailingSlashes(source);
    const QString to = withoutTrailingSlashes(destination);
    auto failure = [&](const QString &output) {
        return OperationError(errorDomain, moveFailed,
                              QStringLiteral("Failed to move '") + source +
                                  QStringLiteral("' to '") + destination + QStringLiteral("': ") +
                                  output);
    };
    // A relative path would be taken from wherever the administrator's shell starts.
    for (const auto &[path, which] : {std::pair{from, QStringLiteral("source")},
                                      std::pair{to, QStringLiteral("destination")}}) {
        if (!path.startsWith(QLatin1Char('/')))
            throw OperationError(errorDomain, moveFailed,
                                 QStringLiteral("Refusing to move '") + source +
                                     QStringLiteral("' to '") + destination +
                                     QStringLiteral("': the ") + which +
                                     QStringLiteral(" path is not absolute"));
    }
    // "mv a b" with a folder at b puts a inside it; that is never what a caller means.
    if (PathUtils::isDirectory(to))
        throw failure(QStringLiteral("destination already exists"));
    const PlainAttempt plain = movePlainly(from, to);
    if (plain.done)
        return;
    if (rightsCannotCure(plain.err))
        throw diskError(QStringLiteral("Could not move '") + source + QStringLiteral("' to"),
                        destination, plain.err);
    const CommandResult result = runPrivilegedCommand(
        QStringLiteral("/bin/mv -- ") + shellQuote(from) + QLatin1Char(' ') + shellQuote(to));
    if (!result.success)
        throw failure(result.output);
}

void PrivilegeHelper::createSymbolicLink(const QString &linkPath, const QString &target)
{
    const QString link = withoutTrailingSlashes(linkPath);
    auto failure = [&](const QString &output) {
        return OperationError(errorDomain, linkFailed,
                              QStringLiteral("Failed to create symlink at '") + linkPath +
                                  QStringLiteral("': ") + output);
    };
    // The link's place must be absolute; its text may be relative, as links often are.
    if (!link.startsWith(QLatin1Char('/')))
        throw OperationError(errorDomain, linkFailed,
                             QStringLiteral("Refusing to create symlink at '") + linkPath +
                                 QStringLiteral("': the path is not absolute"));
    // "ln -sfn t dir" would put the link inside the folder.
    if (PathUtils::isDirectoryNoFollow(link))
        throw failure(QStringLiteral("a folder already exists there"));

    if (isWritable(holdingFolder(link))) {
        if (::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) !=
            0) {
            const int err = errno;
            throw OperationError::fileSystem(
                err, QStringLiteral("Could not create a symbolic link at '") + linkPath +
                         QStringLiteral("': ") + QString::fromLocal8Bit(std::strerror(err)));
        }
        return;
    }
    const CommandResult result =
        runPrivilegedCommand(QStringLiteral("/bin/ln -sfn -- ") + shellQuote(target) +
                             QLatin1Char(' ') + shellQuote(link));
    if (!result.success)
        throw failure(result.output);
}

namespace {

// Enters `folder` and stops unless it is that very path, no link on the way: what follows acts
// in the folder the shell holds, not by a path.
QString enterJudgedFolder(const QString &folder)
{
    const QString quoted = PrivilegeHelper::shellQuote(folder);
    return QStringLiteral("cd -P -- ") + quoted + QStringLiteral(" && [ \"$(pwd -P)\" = ") +
           quoted + QStringLiteral(" ] || { echo ") +
           PrivilegeHelper::shellQuote(folder + QStringLiteral(" changed since it was looked at")) +
           QStringLiteral(" >&2; exit 1; }; ");
}

} // namespace

bool PrivilegeHelper::isPermissionRefusal(int err)
{
    return err == EACCES || err == EPERM;
}

int PrivilegeHelper::incurable(const QString &folder, int err)
{
    if (err == 0)
        return readOnlyFileSystem(folder);
    return isPermissionRefusal(err) ? 0 : err;
}

void PrivilegeHelper::removeInJudgedFolder(const QString &folder, const QString &name)
{
    requireNothingMountedIn(folder, name);
    const CommandResult result =
        runPrivilegedCommand(enterJudgedFolder(folder) + treeRemoval() + shellQuote(name));
    if (!result.success)
        throw OperationError(errorDomain, removeFailed,
                             QStringLiteral("Failed to remove '") + PathUtils::join(folder, name) +
                                 QStringLiteral("' with admin privileges: ") + result.output);
}

void PrivilegeHelper::removeAfterRefusal(const QString &folder, const QString &name, int err,
                                         const QString &where,
                                         const std::function<QString()> &judged)
{
    if (const int disk = incurable(folder, err))
        throw keptByRemoval(folder, name, where, disk);
    if (err == EPERM)
        requireNoRemovalLock(folder, name, where);
    removeInJudgedFolder(judged ? judged() : folder, name);
}

void PrivilegeHelper::renameInJudgedFolder(const QString &folder, const QString &from,
                                           const QString &to)
{
    const QString target = shellQuote(to);
    const CommandResult result = runPrivilegedCommand(
        enterJudgedFolder(folder) + QStringLiteral("[ ! -e ") + target +
        QStringLiteral(" ] && [ ! -L ") + target + QStringLiteral(" ] && /bin/mv -- ") +
        shellQuote(from) + QLatin1Char(' ') + target);
    if (!result.success)
        throw OperationError(errorDomain, moveFailed,
                             QStringLiteral("Failed to move '") + PathUtils::join(folder, from) +
                                 QStringLiteral("' to '") + PathUtils::join(folder, to) +
                                 QStringLiteral("': ") + result.output);
}

PrivilegeHelper::DittoResult PrivilegeHelper::runDitto(const QString &source,
                                                       const QString &destination)
{
    const QStringList argv = System::current().copyToolArguments(source, destination);
    QStringList words;
    if (!argv.isEmpty())
        words.append(argv.first());
    for (qsizetype i = 1; i < argv.size(); ++i)
        words.append(shellQuote(argv.at(i)));
    const CommandResult result = runPrivilegedCommand(words.join(QLatin1Char(' ')));
    return {result.success, result.output};
}

void PrivilegeHelper::createFinderAlias(const QString &targetPath, const QString &aliasPath)
{
    const QString folder = holdingFolder(aliasPath);
    const QString name = PathUtils::lastComponent(aliasPath);
    try {
        safeRemove(aliasPath);
    } catch (const OperationError &) {
        // What stays in the way makes the steps below fail; only the last one is reported.
    }
    // safeRemove leaves a dangling link, which would block every step below.
    removeDanglingLink(aliasPath);

    Finder &finder = System::current().finder();
    if (finder.makeAliasFile(targetPath, folder, name) &&
        PathUtils::existsFollowingLinks(aliasPath))
        return;
    if (isWritable(folder) && finder.writeBookmarkFile(targetPath, aliasPath)) {
        finder.update(aliasPath);
        return;
    }
    createSymbolicLink(aliasPath, targetPath);
}

bool PrivilegeHelper::isWritable(const QString &path)
{
    return System::current().isWritable(path);
}

bool PrivilegeHelper::requiresAdmin(const QString &path)
{
    if (PathUtils::existsFollowingLinks(path))
        return !isWritable(path);
    return !isWritable(holdingFolder(path));
}
