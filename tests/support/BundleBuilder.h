#pragma once

#include "base/PlistFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>
#include <utility>

// Builds application bundles on disk for tests:
//   BundleBuilder(dir + "/Foo.app").identifier("com.acme.foo").version("2.1").build();
// gives Contents/Info.plist, an executable Contents/MacOS/<name> with mode 0755, and
// whatever files, links and frameworks were added.
class BundleBuilder
{
public:
    explicit BundleBuilder(QString bundlePath);

    BundleBuilder &identifier(std::optional<QString> id);
    BundleBuilder &version(std::optional<QString> shortVersion);
    BundleBuilder &buildNumber(std::optional<QString> bundleVersion);
    BundleBuilder &executableName(QString name);
    BundleBuilder &format(PlistFile::Format format);
    // Extra Info.plist keys, written after the standard ones.
    BundleBuilder &plistValue(const QString &key, const QVariant &value);
    // No Info.plist at all.
    BundleBuilder &withoutInfoPlist();
    // A file below Contents/ (relative path), with content and mode.
    BundleBuilder &file(const QString &relativePath, const QByteArray &content, int mode = 0644);
    // A symbolic link below Contents/ with the given link text.
    BundleBuilder &symlink(const QString &relativePath, const QString &linkText);
    // A versioned framework under Contents/Frameworks/<name>.framework with the usual
    // relative links (Versions/Current -> A, <name> -> Versions/Current/<name>).
    BundleBuilder &framework(const QString &name);
    // Roughly this many bytes of executable content.
    BundleBuilder &executableSize(qint64 bytes);

    // Writes the bundle and returns its path.
    QString build() const;

private:
    QString m_path;
    std::optional<QString> m_identifier;
    std::optional<QString> m_version;
    std::optional<QString> m_buildNumber;
    QString m_executable;
    PlistFile::Format m_format = PlistFile::Format::Xml;
    PlistFile::Entries m_extra;
    bool m_writePlist = true;
    qint64 m_executableSize = 64;
    struct FileEntry
    {
        QString path;
        QByteArray content;
        int mode;
    };
    QList<FileEntry> m_files;
    QList<std::pair<QString, QString>> m_links;
    QList<QString> m_frameworks;
};

// Writes a bare Info.plist dictionary to a bundle path (for proxies and odd cases).
void writeInfoPlist(const QString &bundlePath, const PlistFile::Entries &entries,
                    PlistFile::Format format = PlistFile::Format::Xml);
