#include "support/BundleBuilder.h"

#include "base/PathUtils.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QFileInfo>
#include <unistd.h>

namespace {

void writeBytes(const QString &path, const QByteArray &content, int mode)
{
    Sandbox::writeFile(path, content, mode);
}

void makeLink(const QString &path, const QString &text)
{
    ::unlink(path.toLocal8Bit().constData());
    Sandbox::makeSymlink(path, text);
}

QByteArray filler(qint64 bytes, const QString &seed)
{
    QByteArray pattern = seed.toUtf8() + '\n';
    QByteArray out;
    out.reserve(bytes);
    while (out.size() < bytes)
        out.append(pattern);
    out.truncate(bytes);
    return out;
}

} // namespace

BundleBuilder::BundleBuilder(QString bundlePath)
    : m_path(std::move(bundlePath))
    , m_executable(PathUtils::baseName(m_path))
{}

BundleBuilder &BundleBuilder::identifier(std::optional<QString> id)
{
    m_identifier = std::move(id);
    return *this;
}

BundleBuilder &BundleBuilder::version(std::optional<QString> shortVersion)
{
    m_version = std::move(shortVersion);
    return *this;
}

BundleBuilder &BundleBuilder::buildNumber(std::optional<QString> bundleVersion)
{
    m_buildNumber = std::move(bundleVersion);
    return *this;
}

BundleBuilder &BundleBuilder::executableName(QString name)
{
    m_executable = std::move(name);
    return *this;
}

BundleBuilder &BundleBuilder::format(PlistFile::Format format)
{
    m_format = format;
    return *this;
}

BundleBuilder &BundleBuilder::plistValue(const QString &key, const QVariant &value)
{
    m_extra.append({key, value});
    return *this;
}

BundleBuilder &BundleBuilder::withoutInfoPlist()
{
    m_writePlist = false;
    return *this;
}

BundleBuilder &BundleBuilder::file(const QString &relativePath, const QByteArray &content, int mode)
{
    m_files.append({relativePath, content, mode});
    return *this;
}

BundleBuilder &BundleBuilder::symlink(const QString &relativePath, const QString &linkText)
{
    m_links.append({relativePath, linkText});
    return *this;
}

BundleBuilder &BundleBuilder::framework(const QString &name)
{
    m_frameworks.append(name);
    return *this;
}

BundleBuilder &BundleBuilder::executableSize(qint64 bytes)
{
    m_executableSize = bytes;
    return *this;
}

QString BundleBuilder::build() const
{
    const QString contents = m_path + QStringLiteral("/Contents");
    QDir().mkpath(contents + QStringLiteral("/MacOS"));
    if (m_writePlist) {
        PlistFile::Entries entries;
        entries.append({QStringLiteral("CFBundleName"), PathUtils::baseName(m_path)});
        entries.append({QStringLiteral("CFBundleExecutable"), m_executable});
        entries.append({QStringLiteral("CFBundlePackageType"), QStringLiteral("APPL")});
        if (m_identifier)
            entries.append({QStringLiteral("CFBundleIdentifier"), *m_identifier});
        if (m_version)
            entries.append({QStringLiteral("CFBundleShortVersionString"), *m_version});
        if (m_buildNumber)
            entries.append({QStringLiteral("CFBundleVersion"), *m_buildNumber});
        entries.append(m_extra);
        writeInfoPlist(m_path, entries, m_format);
    }
    writeBytes(contents + QStringLiteral("/MacOS/") + m_executable,
               QByteArray("#!/bin/sh\n") + filler(m_executableSize, m_path), 0755);
    for (const QString &name : m_frameworks) {
        const QString fw =
            contents + QStringLiteral("/Frameworks/") + name + QStringLiteral(".framework");
        writeBytes(fw + QStringLiteral("/Versions/A/") + name, filler(4096, name), 0755);
        writeBytes(fw + QStringLiteral("/Versions/A/Resources/Info.plist"), QByteArray("<plist/>"),
                   0644);
        makeLink(fw + QStringLiteral("/Versions/Current"), QStringLiteral("A"));
        makeLink(fw + QLatin1Char('/') + name, QStringLiteral("Versions/Current/") + name);
        makeLink(fw + QStringLiteral("/Resources"), QStringLiteral("Versions/Current/Resources"));
    }
    for (const FileEntry &entry : m_files)
        writeBytes(contents + QLatin1Char('/') + entry.path, entry.content, entry.mode);
    for (const auto &[relative, text] : m_links)
        makeLink(contents + QLatin1Char('/') + relative, text);
    return m_path;
}

void writeInfoPlist(const QString &bundlePath, const PlistFile::Entries &entries,
                    PlistFile::Format format)
{
    const QString plist = bundlePath + QStringLiteral("/Contents/Info.plist");
    QDir().mkpath(QFileInfo(plist).absolutePath());
    if (!PlistFile::write(plist, entries, format))
        throw std::runtime_error("cannot write " + plist.toStdString());
}
