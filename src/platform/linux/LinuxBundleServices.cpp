#include "platform/linux/LinuxBundleServices.h"

#include "platform/macos/MacBundleServices.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <sys/xattr.h>

void LinuxBundleServices::signAdHoc(const QString &)
{}

void LinuxBundleServices::registerApplication(const QString &)
{}

void LinuxBundleServices::setComment(const QString &path, const QString &comment)
{
    const QByteArray value = comment.toUtf8();
    (void)::setxattr(QFile::encodeName(path).constData(), "user.xdg.comment", value.constData(),
                     size_t(value.size()), 0);
}

QByteArray LinuxBundleServices::iconPng(const QString &)
{
    return {};
}

std::optional<QString> LinuxBundleServices::programResource(const QString &name)
{
    const QString path = programBundlePath() + QLatin1Char('/') + name;
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    return path;
}

QString LinuxBundleServices::programBundlePath()
{
    return QCoreApplication::applicationDirPath();
}

ToolCommand LinuxBundleServices::launcherCompileCommand(const QString &sourcePath,
                                                        const QString &outputPath)
{
    return MacBundleServices::compileCommand(sourcePath, outputPath);
}
