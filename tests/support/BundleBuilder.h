#pragma once

#include "base/PlistFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>
#include <utility>

// The forms in which Info.plist files are found on Macs: XML in UTF-8 without and with a
// byte-order mark, XML in UTF-16 of either byte order (with its mark and an encoding
// declaration that says so), binary, and the old text form of early bundles.
enum class InfoPlistForm { xml, xmlWithBom, xmlUtf16LE, xmlUtf16BE, binary, text };
inline constexpr InfoPlistForm allInfoPlistForms[] = {
    InfoPlistForm::xml,        InfoPlistForm::xmlWithBom, InfoPlistForm::xmlUtf16LE,
    InfoPlistForm::xmlUtf16BE, InfoPlistForm::binary,     InfoPlistForm::text,
};
[[nodiscard]] const char *labelOf(InfoPlistForm form);
// The dictionary in that form. The text form has only strings, arrays, dictionaries and
// data: numbers are written bare and Booleans as YES and NO, as old tools wrote them.
[[nodiscard]] QByteArray encodeInfoPlist(const PlistFile::Entries &entries, InfoPlistForm form);

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
    BundleBuilder &form(InfoPlistForm form);
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
    InfoPlistForm m_form = InfoPlistForm::xml;
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
void writeInfoPlist(const QString &bundlePath, const PlistFile::Entries &entries,
                    InfoPlistForm form);
