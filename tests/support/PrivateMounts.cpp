#include "support/PrivateMounts.h"

#include "base/Subprocess.h"
#include "platform/linux/MountTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <sys/mount.h>
#include <unistd.h>

namespace PrivateMounts {

namespace {

const char *insideVariable = "KORVANTHELIX_PRIVATE_MOUNT_NAMESPACE";

QStringList unshareArguments()
{
    return {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private")};
}

// Images stay until the child process ends; the namespace goes with it.
QList<std::shared_ptr<QTemporaryDir>> &imageFolders()
{
    static QList<std::shared_ptr<QTemporaryDir>> folders;
    return folders;
}

void skip(const std::string &why)
{
    [&] { GTEST_SKIP() << why; }();
}

} // namespace

QString tool(const char *name)
{
    for (const char *folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        const QString path = QString::fromLatin1(folder) + QString::fromLatin1(name);
        if (::access(path.toLocal8Bit().constData(), X_OK) == 0)
            return path;
    }
    return {};
}

bool enter(bool usesVolumes)
{
    if (qEnvironmentVariableIsSet(insideVariable)) {
        // Belt and braces: nothing mounted here may reach the machine's namespace.
        EXPECT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        return true;
    }
    if (::geteuid() != 0) {
        skip("mounting drives needs root");
        return false;
    }
    const QString unshare = tool("unshare");
    if (unshare.isEmpty() || tool("mkfs.ext4").isEmpty() || tool("mount").isEmpty()) {
        skip("needs unshare, mount and mkfs.ext4");
        return false;
    }
    if (!Subprocess::run(unshare, unshareArguments() + QStringList{QStringLiteral("/bin/true")})
             .succeeded()) {
        skip("no private mount namespace can be made here");
        return false;
    }
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString filter =
        QString::fromStdString(std::string(test->test_suite_name()) + "." + test->name());

    // The child needs a /Volumes folder to mount over; one made for it is removed again, so
    // the program on this machine keeps looking for drives where it did before. Tests that
    // use it hold one CTest resource lock, so no other test removes it meanwhile.
    const bool volumesExisted = !usesVolumes || QFileInfo::exists(QStringLiteral("/Volumes"));
    if (!volumesExisted)
        QDir().mkpath(QStringLiteral("/Volumes"));
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(insideVariable), QStringLiteral("1"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    SubprocessOptions options;
    options.environment = environment.toStringList();
    options.timeLimit = std::chrono::minutes(5);
    const SubprocessResult child = Subprocess::run(
        unshare,
        unshareArguments() + QStringList{QCoreApplication::applicationFilePath(),
                                         QStringLiteral("--gtest_filter=") + filter},
        options);
    if (!volumesExisted)
        QDir().rmdir(QStringLiteral("/Volumes"));
    const std::string output = QString(child.outputText() + child.errorText()).toStdString();
    if (child.succeeded() && child.outputText().contains(QLatin1String("[  SKIPPED ]"))) {
        skip(output);
        return false;
    }
    EXPECT_TRUE(child.succeeded()) << "status " << child.exitCode << ", signal " << child.signal
                                   << (child.timedOut ? ", timed out" : "") << "\n"
                                   << output;
    EXPECT_TRUE(child.outputText().contains(QLatin1String("[  PASSED  ] 1 test"))) << output;
    return false;
}

bool prepareVolumesRoot(const QStringList &driveNames)
{
    if (!mountTmpfs(QStringLiteral("/Volumes"), QStringLiteral("size=1m,mode=755")))
        return false;
    for (const QString &name : driveNames) {
        if (!QDir().mkpath(QStringLiteral("/Volumes/") + name))
            return false;
    }
    return ::mount(nullptr, "/Volumes", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

bool mountTmpfs(const QString &mountPoint, const QString &options)
{
    QDir().mkpath(mountPoint);
    return ::mount("tmpfs", mountPoint.toLocal8Bit().constData(), "tmpfs", 0,
                   options.toLocal8Bit().constData()) == 0;
}

namespace {

// Formats an image of `megabytes` with `format` (its arguments, the image last) and loop-mounts
// it at `mountPoint`.
bool mountImage(const QString &format, const QStringList &arguments, const QString &mountPoint,
                int megabytes, QString *why, const Ext4Image &how, QString *imagePath)
{
    if (format.isEmpty()) {
        if (why)
            *why = QStringLiteral("the tool to make the file system is missing");
        return false;
    }
    auto folder =
        how.folder.isEmpty()
            ? std::make_shared<QTemporaryDir>()
            : std::make_shared<QTemporaryDir>(how.folder + QStringLiteral("/drive-XXXXXX"));
    const QString image =
        how.existing.isEmpty() ? folder->filePath(QStringLiteral("drive.img")) : how.existing;
    if (how.existing.isEmpty()) {
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(megabytes) * 1024 * 1024)) {
            if (why)
                *why = QStringLiteral("cannot make the image ") + image;
            return false;
        }
    }
    const SubprocessResult formatted = Subprocess::run(format, arguments + QStringList{image});
    if (!formatted.succeeded()) {
        if (why)
            *why = formatted.failureText();
        return false;
    }
    const SubprocessResult mounted = Subprocess::run(
        tool("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, mountPoint});
    if (!mounted.succeeded()) {
        if (why)
            *why = QStringLiteral("loop devices are not available: ") + mounted.failureText();
        return false;
    }
    imageFolders().append(folder);
    if (imagePath)
        *imagePath = image;
    return true;
}

} // namespace

bool mountExt4(const QString &mountPoint, const QString &label, int megabytes, QString *why,
               const Ext4Image &how, QString *imagePath)
{
    return mountImage(
        tool("mkfs.ext4"),
        QStringList{QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-L"), label} +
            how.formatOptions,
        mountPoint, megabytes, why, how, imagePath);
}

bool mountBtrfs(const QString &mountPoint, const QString &label, const QStringList &subvolumes,
                QString *why)
{
    // Room for the offload's safety margin beside what btrfs keeps for itself.
    constexpr int megabytes = 900;
    if (!mountImage(tool("mkfs.btrfs"),
                    {QStringLiteral("-q"), QStringLiteral("-f"), QStringLiteral("-L"), label},
                    mountPoint, megabytes, why, {}, nullptr))
        return false;
    for (const QString &subvolume : subvolumes) {
        const SubprocessResult made =
            Subprocess::run(tool("btrfs"), {QStringLiteral("subvolume"), QStringLiteral("create"),
                                            mountPoint + QLatin1Char('/') + subvolume});
        if (!made.succeeded()) {
            if (why)
                *why = QStringLiteral("cannot make a subvolume: ") + made.failureText();
            return false;
        }
    }
    return true;
}

bool unmount(const QString &mountPoint)
{
    const QByteArray path = mountPoint.toLocal8Bit();
    for (int attempt = 0; attempt < 250; ++attempt) {
        if (::umount(path.constData()) == 0)
            return true;
        if (errno != EBUSY)
            return false;
        ::usleep(20'000);
    }
    return false;
}

bool isMounted(const QString &mountPoint)
{
    const std::optional<QList<MountEntry>> table = MountTable::read();
    return table && MountTable::at(*table, mountPoint).has_value();
}

} // namespace PrivateMounts
