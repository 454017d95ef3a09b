#include "platform/linux/LinuxWorkspace.h"

#include "base/PathUtils.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <csignal>
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

Verdict LinuxWorkspace::moveToTrash(const QString &path)
{
    QFile file(path);
    if (file.moveToTrash())
        return Verdict::pass();
    return Verdict::fail(file.errorString().isEmpty()
                             ? QStringLiteral("Could not move '%1' to the Trash").arg(path)
                             : file.errorString());
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
