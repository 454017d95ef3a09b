#include "platform/linux/LinuxWorkspace.h"

#include "base/PathUtils.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QUrl>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The innermost ".app" folder that holds `executable`, as macOS names a helper application
// nested in another bundle by its own bundle.
QString enclosingBundle(const QString &executable)
{
    QString folder = PathUtils::parentPath(executable);
    while (folder != QLatin1String("/") && folder != QLatin1String(".")) {
        if (PathUtils::extension(folder).compare(QLatin1String("app"), Qt::CaseInsensitive) == 0)
            return folder;
        folder = PathUtils::parentPath(folder);
    }
    return {};
}

// ".../Trash/files/<name>" is recorded in ".../Trash/info/<name>.trashinfo".
QString infoFolderOf(const QString &trashedPath)
{
    return PathUtils::parentPath(PathUtils::parentPath(trashedPath)) + QStringLiteral("/info");
}

QString infoFileOf(const QString &trashedPath)
{
    return infoFolderOf(trashedPath) + QLatin1Char('/') + PathUtils::lastComponent(trashedPath) +
           QStringLiteral(".trashinfo");
}

// The original path as the desktop's Trash stores it: URL-escaped, slashes kept.
QByteArray escapedPath(const QString &path)
{
    return QUrl::toPercentEncoding(path, "/");
}

} // namespace

QStringList LinuxWorkspace::runningApplicationBundles()
{
    QSet<QString> bundles;
    const uid_t me = ::getuid();
    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        const QString processFolder = QStringLiteral("/proc/") + pid;
        struct stat info
        {};
        if (::stat(processFolder.toLocal8Bit().constData(), &info) != 0 || info.st_uid != me)
            continue;
        const std::optional<QString> executable =
            PathUtils::linkText(processFolder + QStringLiteral("/exe"));
        // A replaced executable reads "<path> (deleted)"; its bundle is not the one on disk.
        if (!executable || executable->endsWith(QLatin1String(" (deleted)")))
            continue;
        const QString bundle = enclosingBundle(*executable);
        if (!bundle.isEmpty())
            bundles.insert(PathUtils::standardized(bundle));
    }
    return QStringList(bundles.begin(), bundles.end());
}

bool LinuxWorkspace::isTrashNameTaken(const QString &trashedPath)
{
    return PathUtils::existsNoFollow(trashedPath) ||
           PathUtils::existsNoFollow(infoFileOf(trashedPath));
}

Verdict LinuxWorkspace::recordTrashArrival(const QString &originalPath, const QString &trashedPath)
{
    const QString files = PathUtils::parentPath(trashedPath);
    const QString trash = PathUtils::parentPath(files);
    const QString info = infoFolderOf(trashedPath);
    // The desktop makes the Trash's two folders when it first needs them, for this user only.
    for (const QString &folder : {files, info}) {
        if (PathUtils::isDirectory(folder))
            continue;
        if (!PathUtils::isDirectory(trash))
            return Verdict::fail(QStringLiteral("the Trash folder '%1' is missing").arg(trash));
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 &&
            !PathUtils::isDirectory(folder))
            return Verdict::fail(QStringLiteral("the Trash folder '%1' is missing and cannot be "
                                                "made: %2")
                                     .arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
    }
    const QString infoFile = infoFileOf(trashedPath);
    // O_EXCL: the record claims the name, as every desktop that writes this Trash expects.
    const int fd = ::open(QFile::encodeName(infoFile).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return Verdict::fail(QStringLiteral("its Trash information file '%1' cannot be written: %2")
                                 .arg(infoFile, QString::fromLocal8Bit(std::strerror(errno))));
    const QByteArray record =
        "[Trash Info]\nPath=" + escapedPath(originalPath) + "\nDeletionDate=" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toUtf8() +
        "\n";
    const bool written = ::write(fd, record.constData(), size_t(record.size())) == record.size();
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        ::unlink(QFile::encodeName(infoFile).constData());
        return Verdict::fail(
            QStringLiteral("its Trash information file '%1' cannot be written").arg(infoFile));
    }
    return Verdict::pass();
}

void LinuxWorkspace::forgetTrashArrival(const QString &trashedPath)
{
    ::unlink(QFile::encodeName(infoFileOf(trashedPath)).constData());
}

void LinuxWorkspace::reveal(const QStringList &paths)
{
    QStringList folders;
    for (const QString &path : paths) {
        const QString folder = PathUtils::parentPath(path);
        if (!folders.contains(folder))
            folders.append(folder);
    }
    for (const QString &folder : folders)
        QProcess::startDetached(QStringLiteral("xdg-open"), {folder});
}

void LinuxWorkspace::open(const QString &path)
{
    QProcess::startDetached(QStringLiteral("xdg-open"), {path});
}

void LinuxWorkspace::requestQuit(const QString &bundlePath)
{
    const QString inside = PathUtils::standardized(bundlePath) + QLatin1Char('/');
    const uid_t me = ::getuid();
    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pidText : pids) {
        bool numeric = false;
        const pid_t pid = pidText.toInt(&numeric);
        if (!numeric || pid == ::getpid())
            continue;
        const QString processFolder = QStringLiteral("/proc/") + pidText;
        struct stat info
        {};
        if (::stat(processFolder.toLocal8Bit().constData(), &info) != 0 || info.st_uid != me)
            continue;
        const std::optional<QString> executable =
            PathUtils::linkText(processFolder + QStringLiteral("/exe"));
        if (executable && PathUtils::standardized(*executable).startsWith(inside))
            ::kill(pid, SIGTERM);
    }
}
